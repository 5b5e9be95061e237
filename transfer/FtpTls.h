#pragma once

#include "transfer/CurlExchange.h"
#include "transfer/ServerAddress.h"
#include "transfer/TransferFile.h"

#include <optional>
#include <string>

// FTP over TLS: the options that make libcurl protect the control and every data connection, the
// check of the server's certificate against the authorities or the one the user trusted, the TLS
// session each data connection resumes, and what a failed secure exchange tells.
namespace transfer {

inline constexpr const char* kActiveTlsUnsupported =
    "Active mode over TLS does not work with this system's libcurl (before 8.0); tick \"Passive "
    "mode\" for this job.\r\n";

// libcurl 7.87 and 7.88 open the data connection of active mode without TLS, so a protected
// store waits until it times out. Debian 12 ships 7.88.
bool ActiveModeKeepsTls();

// Sets the handle up for FTP over TLS to the address, with the certificate recorded for it in
// the trust store, when there is one, as the only one taken.
void ApplyTlsOptions(CURL* easy, Exchange& exchange, const ServerAddress& address,
                     const TransferTrust& trust);

// The text of an exchange that failed for want of TLS or of a trusted certificate, or nothing
// when it failed for another reason. A certificate that was not trusted is also handed to
// trust.untrusted.
std::optional<std::string> TlsFailure(const Outcome& outcome, const Exchange& exchange,
                                      const ServerAddress& address, const TransferTrust& trust);

} // namespace transfer
