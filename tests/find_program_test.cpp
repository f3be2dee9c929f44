// tessvane-find as a user runs it (found through TESSVANE_FIND): its listings, pictures and
// exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

namespace {

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

ProgramRun runFinder(const std::string& args)
{
    const char* exe = std::getenv("TESSVANE_FIND");
    const std::string out = scratchPath("out.txt"), err = scratchPath("err.txt");
    std::string command = std::string(exe ? exe : "tessvane-find") + " " + args + " >" + out + " 2>" + err + " </dev/null";
    int raw = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    ProgramRun run = {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

// Noise with the screen crop of 565 pixels at 70001.
std::string screenInNoise()
{
    const std::string path = scratchPath("data.bin");
    Bytes file = randomTestBytes(70001, 4);
    append(&file, samplePixels(kSamples[2]));
    append(&file, randomTestBytes(60000, 5));
    EXPECT_TRUE(writeTestFile(path.c_str(), file.data(), file.size()));
    return path;
}

TEST(FindProgram, ReportsFindsAsTextTsvAndPictures)
{
    const std::string data = screenInNoise();
    ProgramRun tsv = runFinder("--tsv --threads 2 " + data);
    EXPECT_EQ(tsv.status, 0);
    const std::string header = "offset\tbytes\tlayout\twidth\theight\tstride\tscore\n";
    ASSERT_EQ(tsv.out.substr(0, header.size()), header);
    EXPECT_NE(tsv.out.find("\t5\t240\t"), std::string::npos) << tsv.out;
    EXPECT_NE(tsv.out.find("\t480\t"), std::string::npos) << tsv.out;
    EXPECT_EQ(tsv.err, "");

    ProgramRun human = runFinder(data);
    EXPECT_EQ(human.status, 0);
    EXPECT_NE(human.out.find("RGB565 colour    240 x"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("scanned 206801 bytes"), std::string::npos) << human.out;

    const std::string dir = scratchPath("pictures");
    ProgramRun extract = runFinder("--extract " + dir + " " + data);
    EXPECT_EQ(extract.status, 0) << extract.err;
    const std::string offset = tsv.out.substr(header.size(), tsv.out.find('\t', header.size()) - header.size());
    const std::string png = dir + "/" + std::string(12 - offset.size(), '0') + offset + "_layout5_w240.png";
    std::ifstream in(png, std::ios::binary);
    char signature[8] = {};
    in.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG") << png;
    std::remove(png.c_str());
    rmdir(dir.c_str());

    ProgramRun range = runFinder("--tsv --from 0x249F0 --to 200000 " + data);
    std::remove(data.c_str());
    EXPECT_EQ(range.status, 0);
    EXPECT_EQ(range.out, header);
}

TEST(FindProgram, ExitStatusForBadUsageAndUnreadableFiles)
{
    const std::string data = scratchPath("small.bin");
    const Bytes small = randomTestBytes(1000, 1);
    ASSERT_TRUE(writeTestFile(data.c_str(), small.data(), small.size()));
    for (const char* args : {"", "--bogus x", "--layouts 6 x", "--layouts 1,,2 x", "--width 90-30 x",
                             "--width 1-8 x", "--min-bytes 0 x", "--threads 0 x", "--from -5 x", "--to",
                             "a b"}) {
        ProgramRun r = runFinder(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(runFinder("--from 5000 --to 10 " + data).status, 2);
    EXPECT_EQ(runFinder("--help").status, 0);
    ProgramRun version = runFinder("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("tessvane-find"), std::string::npos);

    ProgramRun missing = runFinder("/nonexistent/file.bin");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent/file.bin"), std::string::npos);
    EXPECT_EQ(runFinder("/tmp").status, 1);
    const std::string fifo = scratchPath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(runFinder(fifo).status, 1);
    std::remove(fifo.c_str());
    EXPECT_EQ(runFinder("/dev/null").status, 1);
    EXPECT_EQ(runFinder(data).status, 0);
    std::remove(data.c_str());
}

}  // namespace
