#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct evp_pkey_st; // OpenSSL's EVP_PKEY, named only by pointer here

// The folder that holds the password cipher's X25519 key-exchange pair, and the pair's file.
//
// Key containers are private folders under the key-store root: keys/user/default and
// keys/machine/default, each holding its pair as exchange.pem (X25519, PKCS#8 PEM). Folders are
// made 0700 and the key file 0600, written atomically. Opening creates a missing container; the
// pair is made only on request (the cipher asks when an encoding finds it missing). A pair that
// exists but cannot be read is never replaced, since every stored password depends on it.
//
// The key file is the authority: a decoded pair is kept for the life of the process, shared by
// every user and keyed by the key file's path, but served only after stat shows the file unchanged
// (device, inode, size, modes, owner, modification and change times to the nanosecond). A file
// that is replaced, removed, damaged or made unreadable is read again, and so met exactly as on a
// first use. That process-wide part is guarded, so containers may be used on any number of threads.
class KeyContainer
{
public:
    // A pair as read from its file: the key, and its raw public half. Shared read-only by every
    // operation that meets the file unchanged, and freed when the last of them lets it go.
    struct Pair
    {
        struct KeyFree
        {
            void operator()(evp_pkey_st* key) const;
        };
        static constexpr std::size_t kPublicKeySize = 32;

        std::unique_ptr<evp_pkey_st, KeyFree> key;
        std::array<std::uint8_t, kPublicKeySize> publicKey{};
    };

    enum class PairState
    {
        Loaded,
        Missing,
        Unreadable
    };

    // The container that serves one operation under `root`. The user key set's container is opened
    // first and created when it is missing; with useMachineKeyset the machine key set's container
    // then takes its place. A container that exists but cannot be used is passed over; one that is
    // missing and cannot be created fails, as does an empty root, with the reason in `why`.
    static std::optional<KeyContainer> Open(const std::string& root, bool useMachineKeyset,
                                            std::string& why);

    // The key file of the key set's container under `root`, whether or not it exists.
    static std::string KeyFile(const std::string& root, bool useMachineKeyset);

    // $XDG_DATA_HOME/Ombrix/<application name> on Linux (the application's AppDataLocation once its
    // organisation is Ombrix). The application name is QCoreApplication::applicationName(), which
    // is the executable's base name; without an application object (tools, core tests) "ferrovane".
    static std::string DefaultRoot();

    // The container's pair, from memory while its file is unchanged, else from the file. When it
    // is not Loaded, `why` says what is wrong with the file, as words that follow "the key file".
    PairState UsePair(std::shared_ptr<const Pair>& pair, std::string& why) const;

    // Writes a new pair into the container. The key goes to a private temporary file that is synced
    // and then linked under its final name, so the name never shows half a key. Linking never
    // replaces a pair that another process has just written: theirs is kept and used. On failure
    // `why` follows "the key file".
    bool GeneratePair(std::string& why) const;

private:
    explicit KeyContainer(std::string folder) : folder_(std::move(folder)) {}

    std::string folder_;
};
