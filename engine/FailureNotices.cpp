#include "engine/FailureNotices.h"

#include <algorithm>
#include <utility>

namespace {
// The result text on one line: its line breaks and runs of blanks made single spaces, none at
// either end.
std::string OneLine(const std::string& text)
{
    std::string line;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > ' ') {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    if (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

// The server as the address names it, without a user or password an address edited by hand may
// carry before its host.
std::string ServerWithoutUser(const std::string& address)
{
    const std::size_t scheme = address.find("://");
    const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t at = address.rfind('@', address.find('/', host));
    if (at == std::string::npos || at < host) {
        return address;
    }
    return address.substr(0, host) + address.substr(at + 1);
}

void HidePassword(std::string& text, const std::string& password)
{
    if (password.empty()) {
        return;
    }
    for (std::size_t at = text.find(password); at != std::string::npos;
         at = text.find(password, at)) {
        text.replace(at, password.size(), "****");
        at += 4;
    }
}

std::string Named(const UploadJob& job, bool withReason)
{
    std::string line = job.destinationFile + " on " + ServerWithoutUser(job.webAddress);
    if (withReason) {
        line += ": " + OneLine(job.lastRun.text);
    }
    HidePassword(line, job.password);
    return line;
}

// Takes the job's change out of `pending`; whether it was there.
template <typename Changes> bool Withdraw(Changes& pending, std::uint64_t jobId)
{
    const auto found = std::find_if(pending.begin(), pending.end(),
                                    [jobId](const auto& change) { return change.jobId == jobId; });
    if (found == pending.end()) {
        return false;
    }
    pending.erase(found);
    return true;
}
} // namespace

FailureNotices::FailureNotices(FailureNoticeSeams seams) : seams_(std::move(seams)) {}

void FailureNotices::RunEnded(const UploadJob& job)
{
    if (job.lastRun.when == 0) {
        // Nothing has been tried yet (a pattern that matched no file): nothing to tell.
        return;
    }
    const bool failed = job.lastRun.failed;
    const auto known = failing_.find(job.id);
    const bool seen = known != failing_.end();
    // A first run that works is what everyone expects; a run that ends as the one before, too.
    const bool news = seen ? known->second != failed : failed;
    failing_[job.id] = failed;
    if (!news) {
        return;
    }
    // A change not told yet that this one undoes leaves nothing to tell.
    if (Withdraw(failed ? recovered_ : begunFailing_, job.id)) {
        return;
    }
    (failed ? begunFailing_ : recovered_).push_back({job.id, Named(job, failed)});
    const auto now = std::chrono::steady_clock::now();
    if (!firstChange_) {
        firstChange_ = now;
    }
    if (now - *firstChange_ < kLongestGathering && seams_.later) {
        const std::uint64_t moment = ++moment_;
        seams_.later([this, moment] {
            if (moment == moment_) {
                Gathered();
            }
        });
    }
}

void FailureNotices::Gathered()
{
    firstChange_.reset();
    const std::vector<Change> failing = std::exchange(begunFailing_, {});
    const std::vector<Change> recovered = std::exchange(recovered_, {});
    Send(failing, "An upload job is failing", " upload jobs are failing");
    Send(recovered, "An upload job works again", " upload jobs work again");
}

void FailureNotices::Send(const std::vector<Change>& changes, const std::string& one,
                          const std::string& many)
{
    if (changes.empty() || !seams_.send) {
        return;
    }
    std::string body;
    for (std::size_t n = 0; n < changes.size() && n < kNamed; ++n) {
        body += (n > 0 ? "\n" : "") + changes[n].line;
    }
    if (changes.size() > kNamed) {
        body += "\nand " + std::to_string(changes.size() - kNamed) + " more";
    }
    seams_.send(changes.size() == 1 ? one : std::to_string(changes.size()) + many, body);
}
