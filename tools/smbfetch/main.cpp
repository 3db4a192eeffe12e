// smbfetch: copies one file from an SMB share with libsharefetch, logged on
// as guest.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "arguments.h"
#include "messages.h"
#include "output.h"
#include "progress.h"
#include "transfer.h"

using namespace smbfetch;

namespace {

constexpr uint64_t kRawOffsetLimit = 0xFFFFFFFFu;  // the open's start offset has 32 bits, all ones meaning 0

int pastTheEnd(const Request &q, const Output &out, uint64_t size)
{
    if (out.existing == 0)
        return fail(kExitFailure, "--offset " + std::to_string(q.offset) + " is past the end of " + q.remotePath +
                                      " (" + std::to_string(size) + " bytes)");
    return fail(kExitFailure, q.remotePath + " has " + std::to_string(size) + " bytes, fewer than the " +
                                  std::to_string(q.offset + out.existing) + " that " + out.shown +
                                  " already holds: it changed on the server; move " + out.shown +
                                  " away to fetch it again");
}

void summary(const Request &q, const Output &out, const Progress &progress)
{
    const uint64_t fetched = progress.total - progress.base;
    const double elapsed = progressSeconds(progress);
    const std::string continued = progress.base ? " (continued after " + std::to_string(progress.base) + ")" : "";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", elapsed);
    say(q.remotePath + " -> " + out.target + ": " + std::to_string(fetched) + " bytes in " + seconds + " s (" +
        humanBytes(elapsed > 0 ? static_cast<double>(fetched) / elapsed : 0) + "/s)" + continued);
}

int fetch(const Request &q)
{
    installStopHandlers();
    Output out;
    if (const int status = openOutput(q, out)) return status;
    const uint64_t from = q.offset + out.existing;
    if (q.raw && from >= kRawOffsetLimit)
        return fail(kExitUsage, "--raw reads cannot start at or past byte 4294967295; leave out --raw");
    Connection c;
    if (const int status = openRemote(q, c, out, from)) return status;
    const uint64_t size = remoteSize(c);
    if (q.verbose) say(q.remotePath + " has " + std::to_string(size) + " bytes; fetching from byte " + std::to_string(from));
    if (from > size) return pastTheEnd(q, out, size);
    Progress progress = progressStart(size - q.offset, out.existing, !q.quiet && isatty(STDERR_FILENO));
    if (const int status = copyRange(q, c, from, size - from, out, progress)) return status;
    // Every byte is here: a stop that came with the last block still gets the file.
    progressUpdate(progress, progress.total, true);
    if (const int status = finishOutput(out)) return status;
    if (!q.quiet) summary(q, out, progress);
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv)
{
    // Only the character set: numbers keep their decimal point whatever the locale.
    std::setlocale(LC_CTYPE, "");
    return fetch(parseArguments(argc, argv));
}
