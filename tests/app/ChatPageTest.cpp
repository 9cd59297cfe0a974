#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "ChatPage.h"

namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the program serves is web/ as it is now, file for file, each with its own ETag.
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
    for (std::size_t i = 0; i < site.count; ++i) {
        const hNet::WebFile& file = site.files[i];
        served.insert(std::string(file.path));
        etags.insert(file.etag);
        EXPECT_EQ(file.body, Contents(fs::path(HALVEX_WEB_DIR) / file.path.substr(1))) << file.path;
    }
    EXPECT_EQ(served, onDisk);
    EXPECT_EQ(etags.size(), site.count);
    EXPECT_EQ(site.index, "/index.html");

    // The policy of the page's meta tag, and what only a header can say.
    const std::string index = Contents(fs::path(HALVEX_WEB_DIR) / "index.html");
    const std::string policy(site.securityPolicy);
    EXPECT_NE(index.find("content=\"" + policy.substr(0, policy.find("; frame-ancestors"))),
              std::string::npos);
    EXPECT_NE(policy.find("; frame-ancestors 'none'"), std::string::npos);
}

}  // namespace
