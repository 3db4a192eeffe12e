#include "output.h"

#include <ctime>

#include "names.h"

namespace {

// ISO 8601 in UTC, whole seconds; 64-bit, so 2038 and later come out right.
std::string isoUtc(const struct timespec &when)
{
    std::tm tm{};
    char text[64];
    if (!gmtime_r(&when.tv_sec, &tm) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return std::to_string(when.tv_sec) + " s after 1970";
    return text;
}

json jsonObject(const Report &r)
{
    json o = {{"path", r.path}};
    if (!isValidUtf8(r.path)) o["path_bytes"] = hexBytes(r.path);
    if (r.examined) {
        o["type"] = kindName(r.kind);
        if (r.namedAs != Kind::Other) o["named_as"] = kindName(r.namedAs);
        o["size"] = r.size;
        o["modified"] = isoUtc(r.modified);
        o["modified_epoch"] = int64_t{r.modified.tv_sec};
        o["accessed"] = isoUtc(r.accessed);
        o["accessed_epoch"] = int64_t{r.accessed.tv_sec};
    }
    if (!r.error.empty()) o["error"] = r.error;
    else if (!r.fields.empty()) o[kindName(r.kind)] = r.fields;
    if (!r.libraryLines.empty()) o["library_output"] = r.libraryLines;
    return o;
}

std::string textBlock(const Report &r)
{
    std::string text = printable(r.path) + ": " + kindLabel(r.kind);
    if (r.namedAs != Kind::Other) text += std::string(", although named like a ") + kindLabel(r.namedAs);
    if (!r.summary.empty()) text += ", " + printable(r.summary);
    text += "\n    " + std::to_string(r.size) + " bytes, modified " + isoUtc(r.modified) + ", accessed " +
            isoUtc(r.accessed) + "\n";
    return text;
}

std::string complaint(const Report &r)
{
    std::string text = "mprobe: " + printable(r.path) + ": " + r.error;
    for (const auto &line : r.libraryLines) text += " [" + printable(line) + "]";
    return text + "\n";
}

}  // namespace

Rendered render(const Report &r, const OutputStyle &style)
{
    Rendered result;
    result.failed = !r.error.empty();
    if (result.failed) result.err = complaint(r);
    if (style.json) {
        // Names and version texts are bytes from outside: never let them stop the output.
        result.out = jsonObject(r).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        return result;
    }
    if (result.failed) return result;
    result.out = textBlock(r);
    if (style.verbose)
        for (const auto &line : r.libraryLines)
            result.err += "mprobe: " + printable(r.path) + ": library printed \"" + printable(line) + "\"\n";
    return result;
}
