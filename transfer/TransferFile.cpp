#include "transfer/TransferFile.h"

#include "transfer/SessionState.h"
#include "transfer/TransferTexts.h"

void TransferFile(const std::string& userName, const std::string& password,
                  const std::string& serverAddress, const std::string& remotePath,
                  const std::string& localPath, std::uint16_t port, std::int32_t passiveMode,
                  std::string& resultText, std::int32_t& success, const TransferProgress& progress,
                  const TransferTrust& trust, TransferReplace* replace)
{
    resultText = transfer::kOk;
    success = 1;
    TransferSession::State state;
    transfer::SendFile(state, userName, password, serverAddress, remotePath, localPath, port,
                       passiveMode, resultText, success, progress, trust, replace);
}

std::string TemporaryUploadName(const std::string& name)
{
    std::string temporary = "." + name + ".ferrovane-part";
    return temporary.size() <= 255 ? temporary : std::string();
}
