// Running the built mprobe as a user would, for the tool's test files.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mprobe_test {

namespace fs = std::filesystem;
using nlohmann::json;

inline const fs::path kFixtures = MP_FIXTURES_DIR;

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary folder, removed with everything in it.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "mprobe-test.XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(dir_); }
    const fs::path &dir() const { return dir_; }
    fs::path write(const std::string &name, const std::string &bytes) const
    {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return dir_ / name;
    }

private:
    fs::path dir_;
};

// Runs mprobe with args, feeding input on standard input.
inline Outcome mprobe(const std::vector<std::string> &args, const std::string &input = "")
{
    Scratch scratch;
    const fs::path in = scratch.write("in", input);
    std::string cmd = quoted(MPROBE_PATH);
    for (const auto &a : args) cmd += " " + quoted(a);
    cmd += " <" + quoted(in.string()) + " >" + quoted((scratch.dir() / "out").string()) + " 2>" +
           quoted((scratch.dir() / "err").string());
    Outcome r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(scratch.dir() / "out");
    r.err = slurp(scratch.dir() / "err");
    return r;
}

inline std::vector<json> jsonLines(const std::string &text)
{
    std::vector<json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(json::accept(line)) << "not JSON: " << line;
        if (json::accept(line)) objects.push_back(json::parse(line));
    }
    return objects;
}

inline std::vector<std::string> fixtures(const std::string &kind, const std::string &extension)
{
    std::vector<std::string> files;
    for (const auto &e : fs::directory_iterator(kFixtures / kind))
        if (e.path().extension() == extension) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

inline bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace mprobe_test
