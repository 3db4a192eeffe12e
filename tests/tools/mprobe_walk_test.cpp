// Which files mprobe probes and in which order: folders with -r (and -L),
// lists with --files-from (and -0), several at once with -j.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "mprobe_run.h"

using namespace mprobe_test;

namespace {

std::vector<std::string> paths(const std::vector<json> &objects)
{
    std::vector<std::string> p;
    for (const auto &o : objects) p.push_back(o["path"]);
    return p;
}

// A tree of media, text and sub-folders, with a link back to its top.
struct Tree {
    Scratch s;
    std::vector<std::string> expected;  // what a walk without -L yields, in order
};

void makeTree(Tree &t)
{
    const std::string mp3 = slurp(kFixtures / "mp3" / "cbr64_44100_mono.mp3");
    const std::string gif = slurp(kFixtures / "images" / "gif89a_300x17.gif");
    const std::string vbr = slurp(kFixtures / "mp3" / "vbr_44100_mono.mp3");  // slower: the frame walk
    // First in the walk and slow (a long frame search through zeros): the
    // others overtake it by more than mprobe keeps waiting in memory.
    t.expected.push_back(t.s.write("a-slow.mp3", "").string());
    fs::resize_file(t.expected.back(), 32u << 20);
    for (int d = 0; d < 4; ++d)
        for (int f = 0; f < 40; ++f) {
            const std::string dir = "d" + std::to_string(d) + "/", name = "f" + std::to_string(10 + f);
            const std::string &bytes = f % 3 == 0 ? vbr : f % 3 == 1 ? mp3 : gif;
            t.expected.push_back(t.s.write(dir + name + (f % 3 == 2 ? ".gif" : ".mp3"), bytes).string());
        }
    t.expected.push_back(t.s.write("d1/deeper/z.txt", "words\n").string());
    std::sort(t.expected.begin(), t.expected.end());  // "deeper" sorts before "f10"
    fs::create_directory_symlink(t.s.dir(), t.s.dir() / "d9-loop");
    t.expected.push_back((t.s.dir() / "d9-loop").string());  // not entered: reported as the folder it is
}

}  // namespace

TEST(MprobeWalk, RecursiveWithFourJobsKeepsTheWalksOrder)
{
    Tree t;
    makeTree(t);
    const Outcome four = mprobe({"--json", "-r", "-j", "4", t.s.dir().string()});
    EXPECT_EQ(four.status, 1) << four.err;  // zeros are no MPEG audio
    const auto o = jsonLines(four.out);
    EXPECT_EQ(paths(o), t.expected);
    ASSERT_EQ(o.size(), t.expected.size());
    EXPECT_EQ(o.back()["type"], "directory");
    EXPECT_TRUE(o.front().contains("error"));
    for (size_t i = 0; i + 1 < o.size(); ++i)
        EXPECT_EQ(o[i]["type"], t.expected[i].ends_with(".gif") ? "gif" : t.expected[i].ends_with(".mp3") ? "mp3" : "other");

    // One job or four: the same answers, but for the access times the first run's reads moved.
    const Outcome one = mprobe({"--json", "-r", "-j", "1", t.s.dir().string()});
    auto withoutAccess = [](std::vector<json> objects) {
        for (auto &object : objects) object.erase("accessed"), object.erase("accessed_epoch");
        return objects;
    };
    EXPECT_EQ(withoutAccess(jsonLines(one.out)), withoutAccess(o));
}

TEST(MprobeWalk, LinksToFoldersAreEnteredWithDereferenceOnce)
{
    Scratch s;
    s.write("top/a.txt", "a\n");
    fs::create_directory_symlink(s.dir() / "top", s.dir() / "top" / "back");
    const Outcome r = mprobe({"--json", "-r", "-L", (s.dir() / "top").string()});
    EXPECT_EQ(r.status, 1);  // the loop is reported as a failure
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0]["path"], (s.dir() / "top" / "a.txt").string());
    EXPECT_EQ(o[1]["path"], (s.dir() / "top" / "back").string());
    EXPECT_TRUE(contains(o[1]["error"], "leads back into a folder being walked")) << o[1];

    s.write("other/b.txt", "b\n");
    fs::create_directory_symlink(s.dir() / "other", s.dir() / "top" / "side");
    const Outcome side = mprobe({"-r", "-L", (s.dir() / "top" / "side").string(), (s.dir() / "top" / "a.txt").string()});
    EXPECT_TRUE(contains(side.out, (s.dir() / "top" / "side" / "b.txt").string() + ": file of no probed format"))
        << side.out;
    // Without -r a folder is one entry of its own.
    EXPECT_TRUE(contains(mprobe({(s.dir() / "other").string()}).out, "other: directory\n"));
}

TEST(MprobeWalk, FilesFromAListOrStandardInput)
{
    Scratch s;
    const std::string mp3 = slurp(kFixtures / "mp3" / "cbr64_44100_mono.mp3");
    const auto lined = s.write("two\nlines.mp3", mp3);  // only a NUL-separated list can name it
    const auto plain = s.write("plain.mp3", mp3);
    s.write("folder/inner.gif", slurp(kFixtures / "images" / "gif87a_45x27.gif"));
    const auto list = s.write("list", lined.string() + '\0' + plain.string() + '\0' + (s.dir() / "folder").string() + '\0');

    const Outcome nul = mprobe({"--json", "-r", "-0", "--files-from", list.string(), "-j", "2"});
    EXPECT_EQ(nul.status, 0) << nul.err;
    const auto o = jsonLines(nul.out);
    EXPECT_EQ(paths(o), (std::vector<std::string>{lined.string(), plain.string(), (s.dir() / "folder" / "inner.gif").string()}));

    // One name a line from standard input, after the names on the command line; empty lines skipped.
    const Outcome lines = mprobe({"--json", plain.string(), "--files-from", "-"}, plain.string() + "\n\n" + list.string() + "\n");
    EXPECT_EQ(lines.status, 0) << lines.err;
    EXPECT_EQ(paths(jsonLines(lines.out)), (std::vector<std::string>{plain.string(), plain.string(), list.string()}));

    const Outcome missing = mprobe({"--files-from", (s.dir() / "no-list").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(contains(missing.err, "cannot read the list")) << missing.err;
}

namespace {

pid_t onlyChild(pid_t parent)
{
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    return in >> child ? child : 0;
}

}  // namespace

TEST(MprobeJobs, AWorkerKilledMidProbeCostsOnlyItsFile)
{
    Scratch s;
    // 16 GiB of holes named .mp3: the frame search reads it all, for minutes.
    const auto endless = s.write("endless.mp3", "");
    fs::resize_file(endless, 16ull << 30);
    const auto good = s.write("good.mp3", slurp(kFixtures / "mp3" / "cbr64_44100_mono.mp3"));
    const std::string out = (s.dir() / "out").string();
    const pid_t mprobePid = fork();
    ASSERT_GE(mprobePid, 0);
    if (mprobePid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(MPROBE_PATH, "mprobe", "--json", "-j", "1", endless.c_str(), good.c_str(), nullptr);
        _exit(127);
    }
    pid_t worker = 0;
    for (int i = 0; i < 1000 && !(worker = onlyChild(mprobePid)); ++i) usleep(10000);
    ASSERT_GT(worker, 0) << "no worker process appeared";
    usleep(100000);  // well inside the frame search
    kill(worker, SIGKILL);  // as the out-of-memory killer would
    int status = 0;
    ASSERT_EQ(waitpid(mprobePid, &status, 0), mprobePid);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto o = jsonLines(slurp(out));
    ASSERT_EQ(o.size(), 2u);
    EXPECT_TRUE(contains(o[0]["error"], "worker process was killed by signal Killed")) << o[0];
    EXPECT_EQ(o[1]["path"], good.string());
    EXPECT_EQ(o[1]["mp3"]["bitrate_kbps"], 64);
}
