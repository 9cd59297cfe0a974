#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ChatPage.h"

namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the program serves is web/ as it is now, file for file, each with its own ETag, and
// the policy of the page's meta tag with what only a header can add.
TEST(ChatPage, EmbedsWebFileForFile) {
    const hNet::WebSite& site = ChatPage();
    std::set<std::string> onDisk;
    for (const auto& entry : fs::recursive_directory_iterator(HALVEX_WEB_DIR)) {
        if (entry.is_regular_file()) {
            onDisk.insert("/" + entry.path().lexically_relative(HALVEX_WEB_DIR).generic_string());
        }
    }
    std::set<std::string> served;
    std::set<std::string_view> etags;
    for (const hNet::WebFile& file : std::vector(site.files, site.files + site.count)) {
        served.insert(std::string(file.path));
        etags.insert(file.etag);
        EXPECT_EQ(file.body, Contents(HALVEX_WEB_DIR + std::string(file.path))) << file.path;
    }
    EXPECT_EQ(served, onDisk);
    EXPECT_EQ(etags.size(), site.count);

    const std::string policy(site.securityPolicy);
    const std::size_t framing = policy.find("; frame-ancestors 'none'");
    ASSERT_NE(framing, std::string::npos);
    EXPECT_NE(Contents(HALVEX_WEB_DIR "/index.html")
                  .find("content=\"" + policy.substr(0, framing) + "\""),
              std::string::npos);
}

}  // namespace
