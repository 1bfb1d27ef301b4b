// Replays every committed fuzz input (seeds and the inputs that once found a fault) through
// its fuzz entry in the normal build, so that a fixed fault that comes back fails the suite.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzTargets.h"

namespace {

std::vector<std::string> CorpusFiles(const std::string& target) {
    const std::string dir = std::string(KIV_SOURCE_DIR) + "/fuzz/corpus/" + target;
    std::vector<std::string> files;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        }
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Target {
    const char* corpus;
    int (*entry)(const uint8_t*, size_t);
};

// Names the parameter in test listings by its corpus, not by its bytes.
void PrintTo(const Target& target, std::ostream* os) { *os << target.corpus; }

class FuzzCorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpusReplay, EveryCommittedInputRunsCleanly) {
    const std::vector<std::string> files = CorpusFiles(GetParam().corpus);
    ASSERT_FALSE(files.empty()) << "no corpus for " << GetParam().corpus;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::vector<uint8_t> bytes = ReadFile(file);
        EXPECT_EQ(GetParam().entry(bytes.data(), bytes.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusReplay,
                         ::testing::Values(Target{"mp4_conversion", kivfuzz::Mp4Conversion},
                                           Target{"translator", kivfuzz::TranslatorParseEvent},
                                           Target{"state_file", kivfuzz::StateFileRead},
                                           Target{"ps_reader", kivfuzz::PSReader}),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.corpus);
                         });

}  // namespace
