#include "transfer/SftpChannel.h"

#include "transfer/SshLink.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

namespace transfer {

namespace {

enum : std::uint8_t
{
    kInit = 1,
    kVersion = 2,
    kOpen = 3,
    kClose = 4,
    kWrite = 6,
    kRemove = 13,
    kStat = 17,
    kRename = 18,
    kStatus = 101,
    kHandle = 102,
    kAttributes = 105,
    kExtended = 200,
};

constexpr std::uint32_t kOpenWrite = 0x02;
constexpr std::uint32_t kOpenCreate = 0x08;
constexpr std::uint32_t kOpenTruncate = 0x10;
constexpr std::uint32_t kAttributePermissions = 0x04;

// Every server takes writes of 32 KiB; with 64 of them under way the link stays busy across a
// long round trip, and that is OpenSSH's channel window.
constexpr std::size_t kWriteSize = 32 * 1024;
constexpr std::size_t kWritesUnderWay = 64;
// Longer packets than any server sends in answer to us: a length past this is a broken stream.
constexpr std::uint32_t kLongestPacket = 1 << 20;

const char* const kPosixRename = "posix-rename@openssh.com";

void PutU32(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

void PutU64(std::string& out, std::uint64_t value)
{
    PutU32(out, static_cast<std::uint32_t>(value >> 32));
    PutU32(out, static_cast<std::uint32_t>(value));
}

void PutString(std::string& out, std::string_view text)
{
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

bool GetU32(const std::string& in, std::size_t& at, std::uint32_t& value)
{
    if (in.size() < at + 4) {
        return false;
    }
    value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(in[at + i]);
    }
    at += 4;
    return true;
}

bool GetString(const std::string& in, std::size_t& at, std::string& text)
{
    std::uint32_t size = 0;
    if (!GetU32(in, at, size) || in.size() - at < size) {
        return false;
    }
    text = in.substr(at, size);
    at += size;
    return true;
}

const char* CodeName(std::uint32_t code)
{
    switch (code) {
    case SftpStatus::NoSuchFile:
        return "No such file";
    case SftpStatus::PermissionDenied:
        return "Permission denied";
    case SftpStatus::Failure:
        return "Failure";
    case SftpStatus::Unsupported:
        return "Operation unsupported";
    case SftpStatus::FileAlreadyExists:
        return "File already exists";
    default:
        return "Error";
    }
}

} // namespace

SftpStatus SftpChannel::Lost() const
{
    SftpStatus status;
    status.code = SftpStatus::Failure;
    status.lost = true;
    status.message = link_.Error();
    if (status.message.empty()) {
        status.message = "the connection was lost";
    }
    return status;
}

bool SftpChannel::SendPacket(std::uint8_t type, const std::string& body)
{
    std::string packet;
    packet.reserve(body.size() + 5);
    PutU32(packet, static_cast<std::uint32_t>(body.size() + 1));
    packet += static_cast<char>(type);
    packet += body;
    return link_.Send(packet.data(), packet.size());
}

bool SftpChannel::ReceivePacket(std::uint8_t& type, std::string& body)
{
    unsigned char head[5];
    if (!link_.Receive(head, sizeof head)) {
        return false;
    }
    const std::uint32_t length = (std::uint32_t(head[0]) << 24) | (std::uint32_t(head[1]) << 16) |
                                 (std::uint32_t(head[2]) << 8) | head[3];
    if (length < 1 || length > kLongestPacket) {
        return false;
    }
    type = head[4];
    body.resize(length - 1);
    return body.empty() || link_.Receive(body.data(), body.size());
}

std::string SftpChannel::Start()
{
    std::string version;
    PutU32(version, 3);
    std::uint8_t type = 0;
    std::string reply;
    if (!SendPacket(kInit, version) || !ReceivePacket(type, reply)) {
        return "the server ended the file transfer session: " + Lost().message;
    }
    std::size_t at = 0;
    std::uint32_t spoken = 0;
    if (type != kVersion || !GetU32(reply, at, spoken) || spoken < 3) {
        return "the server does not speak SFTP version 3";
    }
    for (std::string name, data; GetString(reply, at, name) && GetString(reply, at, data);) {
        posixRename_ = posixRename_ || (name == kPosixRename && data == "1");
    }
    return {};
}

SftpStatus SftpChannel::ReadStatus(std::uint8_t type, const std::string& reply, std::size_t at)
{
    SftpStatus status;
    if (type != kStatus || !GetU32(reply, at, status.code)) {
        status.code = SftpStatus::Failure;
        status.message = "the server's answer made no sense";
        return status;
    }
    GetString(reply, at, status.message);
    if (status.code != SftpStatus::Ok && status.message.empty()) {
        status.message = CodeName(status.code);
    }
    return status;
}

SftpStatus SftpChannel::Ask(std::uint8_t type, const std::string& body, std::uint8_t* replyType,
                            std::string* reply)
{
    const std::uint32_t id = nextId_ - 1;
    std::uint8_t gotType = 0;
    std::string got;
    if (!SendPacket(type, body)) {
        return Lost();
    }
    for (;;) {
        if (!ReceivePacket(gotType, got)) {
            return Lost();
        }
        std::size_t at = 0;
        std::uint32_t gotId = 0;
        if (GetU32(got, at, gotId) && gotId == id) {
            if (replyType != nullptr && gotType != kStatus) {
                *replyType = gotType;
                *reply = got.substr(at);
                return {};
            }
            return ReadStatus(gotType, got, at);
        }
        // An answer to a request given up on earlier: not ours now.
    }
}

namespace {

// A request's start: its id.
std::string Request(std::uint32_t& nextId)
{
    std::string body;
    PutU32(body, nextId++);
    return body;
}

} // namespace

SftpStatus SftpChannel::Open(const std::string& path, std::string& handle)
{
    std::string body = Request(nextId_);
    PutString(body, path);
    PutU32(body, kOpenWrite | kOpenCreate | kOpenTruncate);
    PutU32(body, kAttributePermissions);
    PutU32(body, 0644);
    std::uint8_t type = 0;
    std::string reply;
    SftpStatus status = Ask(kOpen, body, &type, &reply);
    if (status.Succeeded() && type == kHandle) {
        std::size_t at = 0;
        if (GetString(reply, at, handle)) {
            return status;
        }
    }
    if (status.Succeeded()) {
        status.code = SftpStatus::Failure;
        status.message = "the server's answer made no sense";
    }
    return status;
}

SftpStatus SftpChannel::WriteAndClose(const std::string& handle, LocalSource& source,
                                      std::atomic<std::uint64_t>& sent)
{
    std::deque<std::uint32_t> underWay;
    SftpStatus first;
    std::vector<char> buffer(kWriteSize);
    std::uint64_t offset = 0;
    bool reading = true;
    std::optional<std::uint32_t> closing;
    for (;;) {
        while (reading && first.Succeeded() && underWay.size() < kWritesUnderWay) {
            const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), source.file);
            source.read += got;
            if (got == 0) {
                reading = false;
                if (std::ferror(source.file) || source.read < source.sizeAtStart) {
                    first.local = true;
                    first.code = SftpStatus::Failure;
                    first.message = "the local file could not be read to its end";
                }
                break;
            }
            const std::uint32_t id = nextId_;
            std::string body = Request(nextId_);
            PutString(body, handle);
            PutU64(body, offset);
            PutString(body, std::string_view(buffer.data(), got));
            if (!SendPacket(kWrite, body)) {
                return Lost();
            }
            underWay.push_back(id);
            offset += got;
            sent += got;
        }
        if (!closing && (!reading || !first.Succeeded())) {
            // Right behind the last write: a small file costs one round trip for both.
            closing = nextId_;
            std::string body = Request(nextId_);
            PutString(body, handle);
            if (!SendPacket(kClose, body)) {
                return Lost();
            }
            underWay.push_back(*closing);
        }
        if (underWay.empty()) {
            return first;
        }
        std::uint8_t type = 0;
        std::string reply;
        std::size_t at = 0;
        std::uint32_t id = 0;
        if (!ReceivePacket(type, reply) || !GetU32(reply, at, id)) {
            return Lost();
        }
        const auto it = std::find(underWay.begin(), underWay.end(), id);
        if (it != underWay.end()) {
            underWay.erase(it);
            const SftpStatus status = ReadStatus(type, reply, at);
            if (first.Succeeded() && !status.Succeeded()) {
                first = status; // the rest still answer
            }
        }
    }
}

SftpStatus SftpChannel::Remove(const std::string& path)
{
    std::string body = Request(nextId_);
    PutString(body, path);
    return Ask(kRemove, body);
}

std::string SftpChannel::RenameRequest(const std::string& from, const std::string& to, bool posix)
{
    std::string body = Request(nextId_);
    if (posix) {
        PutString(body, kPosixRename);
    }
    PutString(body, from);
    PutString(body, to);
    return body;
}

SftpStatus SftpChannel::Rename(const std::string& from, const std::string& to, bool posix)
{
    return Ask(posix ? kExtended : kRename, RenameRequest(from, to, posix));
}

SftpStatus SftpChannel::RemoveThenRename(const std::string& from, const std::string& to,
                                         SftpStatus& removed)
{
    const std::uint32_t removal = nextId_;
    std::string body = Request(nextId_);
    PutString(body, to);
    if (!SendPacket(kRemove, body)) {
        removed = Lost();
        return removed;
    }
    const std::uint32_t rename = nextId_;
    if (!SendPacket(kRename, RenameRequest(from, to, false))) {
        removed = Lost();
        return removed;
    }
    std::vector<SftpStatus> answers = Answers({removal, rename});
    removed = answers[0];
    return answers[1];
}

std::vector<SftpStatus> SftpChannel::Answers(const std::vector<std::uint32_t>& ids)
{
    std::vector<SftpStatus> answers(ids.size());
    std::vector<bool> answered(ids.size(), false);
    for (std::size_t left = ids.size(); left > 0;) {
        std::uint8_t type = 0;
        std::string reply;
        std::size_t at = 0;
        std::uint32_t id = 0;
        if (!ReceivePacket(type, reply) || !GetU32(reply, at, id)) {
            for (std::size_t i = 0; i < ids.size(); ++i) {
                if (!answered[i]) {
                    answers[i] = Lost();
                }
            }
            return answers;
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] == id && !answered[i]) {
                answers[i] = ReadStatus(type, reply, at);
                answered[i] = true;
                --left;
            }
        }
    }
    return answers;
}

SftpStatus SftpChannel::Stat(const std::string& path)
{
    std::string body = Request(nextId_);
    PutString(body, path);
    std::uint8_t type = 0;
    std::string reply;
    SftpStatus status = Ask(kStat, body, &type, &reply);
    if (status.Succeeded() && type != kAttributes) {
        status.code = SftpStatus::Failure;
        status.message = "the server's answer made no sense";
    }
    return status;
}

} // namespace transfer
