#include "arguments.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <iconv.h>
#include <langinfo.h>
#include <netdb.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <vector>

#include "messages.h"

namespace smbfetch {

namespace {

std::string percentDecoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string backslashed(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.empty() || path.front() != '\\') path.insert(path.begin(), '\\');
    return path;
}

std::string lastComponent(const std::string &path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The library takes names in UTF-8. Arguments come in the locale's encoding;
// the C locale passes bytes through, since such names are UTF-8 or ASCII in
// practice.
std::string utf8FromLocale(const std::string &text)
{
    const std::string codeset = nl_langinfo(CODESET);
    if (codeset == "UTF-8" || codeset == "ANSI_X3.4-1968") return text;
    iconv_t convert = iconv_open("UTF-8", codeset.c_str());
    if (convert == reinterpret_cast<iconv_t>(-1)) usageError("cannot convert names from " + codeset + " to UTF-8");
    std::vector<char> in(text.begin(), text.end());
    std::string out(text.size() * 4 + 4, '\0');
    char *from = in.data(), *to = out.data();
    size_t fromLeft = in.size(), toLeft = out.size();
    const size_t result = iconv(convert, &from, &fromLeft, &to, &toLeft);
    iconv_close(convert);
    if (result == static_cast<size_t>(-1)) usageError("\"" + text + "\" is not valid " + codeset);
    out.resize(out.size() - toLeft);
    return out;
}

// The library wants a dotted IPv4 address; a host name is looked up here.
std::optional<std::string> dottedAddress(const std::string &host)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return std::string(text);
}

struct Target {
    std::string host, share, path;
};

// smb://ADDRESS/SHARE/PATH
Target parseUrl(const std::string &url)
{
    const std::string scheme = "smb://";
    if (url.compare(0, scheme.size(), scheme) != 0) usageError("expected smb://ADDRESS/SHARE/PATH, got " + url);
    const std::string rest = url.substr(scheme.size());
    const size_t hostEnd = rest.find('/');
    const size_t shareEnd = hostEnd == std::string::npos ? std::string::npos : rest.find('/', hostEnd + 1);
    if (hostEnd == 0 || shareEnd == std::string::npos || shareEnd == hostEnd + 1 || shareEnd + 1 >= rest.size())
        usageError("expected smb://ADDRESS/SHARE/PATH, got " + url);
    return {rest.substr(0, hostEnd), percentDecoded(rest.substr(hostEnd + 1, shareEnd - hostEnd - 1)),
            percentDecoded(rest.substr(shareEnd + 1))};
}

// The local name stays in the locale's encoding: it is the name as typed.
std::string outputPath(const std::string &requested, const std::string &remoteName)
{
    if (requested.empty()) return remoteName;
    struct stat st {};
    if (requested != "-" && stat(requested.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return requested.back() == '/' ? requested + remoteName : requested + "/" + remoteName;
    return requested;
}

struct Given {
    std::string address, name, share, path, output, serverName = "*SMBSERVER";
};

void fillRemote(Request &q, const Given &g)
{
    Target t;
    if (!g.address.empty() && g.name.empty()) {
        t = parseUrl(g.address);
        q.serverName = g.serverName;
    } else if (!g.path.empty()) {
        t = {g.address, g.share, g.path};
        q.serverName = g.name;
    } else {
        usageError("give ADDRESS SERVERNAME SHARE PATH, or smb://ADDRESS/SHARE/PATH");
    }
    if (q.serverName.empty() || q.serverName.size() > 15) usageError("the server name must have 1 to 15 characters");
    const std::string remoteName = lastComponent(t.path);
    if (remoteName.empty()) usageError("PATH must name a file, not a folder: " + t.path);
    q.output = outputPath(g.output, remoteName);
    const auto address = dottedAddress(t.host);
    if (!address) {
        say("cannot find an IPv4 address for " + t.host);
        std::exit(kExitFailure);
    }
    q.address = *address;
    // A share may be given as a plain name or as a full \\SERVER\SHARE path.
    std::string unc = utf8FromLocale(t.share);
    std::replace(unc.begin(), unc.end(), '/', '\\');
    q.sharePath = unc.rfind("\\\\", 0) == 0 ? unc : "\\\\" + q.serverName + "\\" + unc;
    q.remotePath = backslashed(utf8FromLocale(t.path));
}

}  // namespace

Request parseArguments(int argc, char **argv)
{
    CLI::App app{"Fetches one file from an SMB share (NetBIOS over TCP port 139) as guest with "
                 "libsharefetch.\n\n"
                 "  smbfetch ADDRESS SERVERNAME SHARE PATH [options]\n"
                 "  smbfetch smb://ADDRESS/SHARE/PATH [--server-name NAME] [options]\n\n"
                 "A regular file is written beside OUT under a temporary name and renamed to OUT only "
                 "when every byte has arrived (with --continue: in place, and kept when the fetch stops). "
                 "A device, FIFO or socket at OUT is written directly; \"-o -\" writes to standard output.",
                 "smbfetch"};
    Given g;
    Request q;
    app.add_option("ADDRESS", g.address, "server's IPv4 address or host name, or smb://ADDRESS/SHARE/PATH")
        ->required();
    app.add_option("SERVERNAME", g.name, "server's NetBIOS name");
    app.add_option("SHARE", g.share, "share name, or \\\\SERVER\\SHARE");
    app.add_option("PATH", g.path, "file on the share, with / or \\");
    app.add_option("-o,--output", g.output,
                   "local file, folder, device or \"-\" for standard output (default: the remote file's name, here)");
    app.add_option("--offset", q.offset, "first byte to fetch (default 0)");
    app.add_flag("-c,--continue", q.resume,
                 "write OUT in place and keep it when the fetch stops; when OUT exists, continue from its length");
    app.add_flag("--raw", q.raw, "read with sequential raw reads (SMBReadFile) instead of positional reads");
    app.add_option("--server-name", g.serverName, "NetBIOS name to call with the smb:// form")
        ->capture_default_str();
    app.add_flag("-q,--quiet", q.quiet, "no progress bar and no summary line");
    app.add_flag("-v,--verbose", q.verbose, "say what is connected, with which dialect, and the remote size");
    app.set_version_flag("--version", "smbfetch " MP_VERSION);
    app.footer(kExitStatusHelp);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        std::exit(app.exit(e) == 0 ? kExitOk : kExitUsage);
    }
    fillRemote(q, g);
    return q;
}

}  // namespace smbfetch
