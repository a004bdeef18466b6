// Helpers of the vkmarc tests.

#include "marc_test_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "backend/marc/cvtdiriv.h"

std::vector<CByteArray> ReadIsoRecords(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    CByteArray all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<CByteArray> records;
    size_t pos = 0;
    while (pos + 5 <= all.size()) {
        size_t length = std::stoul(std::string(all.begin() + pos, all.begin() + pos + 5));
        if (length < 24 || pos + length > all.size()) {
            ADD_FAILURE() << path << ": bad record length at " << pos;
            break;
        }
        records.emplace_back(all.begin() + pos, all.begin() + pos + length);
        pos += length;
    }
    return records;
}

std::string DemoPath(const std::string& relative) {
    const char* src = std::getenv("VELKAN_SOURCE_DIR");
    return std::string(src ? src : ".") + "/data/demo/" + relative;
}

std::vector<CByteArray> GenerateDemoRecords(const std::string& kind, int count) {
    char name[] = "/tmp/vkmarc-demo-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return {};
    }
    close(fd);
    std::string command = "python3 '" + DemoPath("gendemo.py") + "' " + kind + " " + name + " " + std::to_string(count);
    int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << command;
    std::vector<CByteArray> records = ReadIsoRecords(name);
    unlink(name);
    return records;
}

std::string MakeDiriv(const std::vector<std::pair<std::string, std::string>>& fields, const std::string& leader) {
    std::string text = leader;
    for (const auto& field : fields) text += field.first + field.second;
    return text + '\x1D';
}

std::string TitleRecord(const std::string& title, char leader09) {
    std::string leader = "00000nam a2200000 a 4500";
    leader[9] = leader09;
    CByteArray iso;
    std::string error;
    EXPECT_GT(CvtDirivToISO2709(MakeDiriv({{"001", "0000007\x1E"}, {"245", "10\x1F" "a" + title + "\x1E"}}, leader),
                                iso, 0, error, CMarcFormat::kMarc21),
              0)
        << error;
    return std::string(iso.begin(), iso.end());
}
