#include "helper/phone/AppFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <string>
#include <vector>

namespace {

using namespace ringlark::helper::phone;

std::string contentTypeFor(std::string_view path)
{
    const auto dot = path.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? "" : path.substr(dot + 1);
    if (extension == "html") return "text/html; charset=utf-8";
    if (extension == "css") return "text/css; charset=utf-8";
    if (extension == "js") return "text/javascript; charset=utf-8";
    if (extension == "webmanifest") return "application/manifest+json";
    if (extension == "png") return "image/png";
    return "?";
}

std::string bodyOf(std::string_view path)
{
    const AppFile* file = findAppFile(path);
    return file ? std::string(file->body) : std::string();
}

// Width and height from a PNG's header chunk, or {0, 0}.
std::pair<unsigned, unsigned> pngSize(std::string_view png)
{
    if (png.size() < 24 || png.substr(0, 8) != "\x89PNG\r\n\x1a\n" || png.substr(12, 4) != "IHDR")
        return {0, 0};
    auto big = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i)
            value = value << 8 | static_cast<unsigned char>(png[at + i]);
        return value;
    };
    return {big(16), big(20)};
}

// What a `default-src 'self'` policy would block in a page: inline scripts,
// style blocks and attributes, inline handlers, script URLs.
std::vector<std::string> htmlPolicyProblems(const std::string& html)
{
    std::vector<std::string> problems;
    const std::regex script(R"(<script\b([^>]*)>([\s\S]*?)</script\s*>)", std::regex::icase);
    for (auto it = std::sregex_iterator(html.begin(), html.end(), script); it != std::sregex_iterator(); ++it) {
        if (!std::regex_search((*it)[1].str(), std::regex(R"(\bsrc\s*=)", std::regex::icase)))
            problems.push_back("script without src");
        if ((*it)[2].str().find_first_not_of(" \t\r\n") != std::string::npos)
            problems.push_back("script with a body");
    }
    const std::vector<std::pair<std::string, std::string>> patterns{
        {R"(<style\b)", "style block"},
        {R"(<[^>]*\sstyle\s*=)", "style attribute"},
        {R"(<[^>]*\son[a-z]+\s*=)", "inline event handler"},
        {R"(javascript:)", "javascript: URL"},
        {R"((src|href)\s*=\s*["']?(data|blob):)", "data: or blob: URL"},
    };
    for (const auto& [pattern, name] : patterns) {
        if (std::regex_search(html, std::regex(pattern, std::regex::icase)))
            problems.push_back(name);
    }
    return problems;
}

// The same for scripts and style sheets: ways of writing markup, styles or
// code from text, and image URLs the policy refuses.
std::vector<std::string> codePolicyProblems(const std::string& code)
{
    std::vector<std::string> problems;
    for (const char* pattern : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "new Function",
                                "setAttribute(\"style\"", "createObjectURL", "url(data:", "url(\"data:", "data:image"}) {
        if (code.find(pattern) != std::string::npos)
            problems.push_back(pattern);
    }
    return problems;
}

TEST(PhoneAppFiles, EveryFileIsServedWithTheTypeOfItsName)
{
    for (const char* path : {"/index.html", "/app.js", "/app.css", "/sw.js", "/manifest.webmanifest", "/icon-192.png",
                             "/icon-512.png", "/apple-touch-icon.png"}) {
        SCOPED_TRACE(path);
        ASSERT_NE(findAppFile(path), nullptr);
    }
    for (const AppFile& file : appFiles()) {
        SCOPED_TRACE(std::string(file.path));
        EXPECT_EQ(findAppFile(file.path), &file);
        EXPECT_EQ(file.contentType, contentTypeFor(file.path));
        EXPECT_FALSE(file.body.empty());
    }
    for (const char* path : {"", "/", "app.js", "/APP.JS", "/app.js/", "/../app.js", "/app.js?v=1", "/CMakeLists.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(findAppFile(path), nullptr);
    }
    ASSERT_NE(appShell(), nullptr);
    EXPECT_EQ(appShell()->path, "/index.html");
}

TEST(PhoneAppFiles, StayUnderOneHundredKilobytes)
{
    std::size_t sum = 0;
    for (const AppFile& file : appFiles())
        sum += file.body.size();
    EXPECT_EQ(appFilesTotalSize(), sum);
    EXPECT_LT(appFilesTotalSize(), 100u * 1024u);
}

TEST(PhoneAppFiles, IconsHaveTheSizesTheirNamesPromise)
{
    const std::vector<std::pair<const char*, unsigned>> icons{
        {"/icon-192.png", 192}, {"/icon-512.png", 512}, {"/apple-touch-icon.png", 180}};
    for (const auto& [path, size] : icons) {
        SCOPED_TRACE(path);
        EXPECT_EQ(pngSize(bodyOf(path)), std::make_pair(size, size));
    }
}

TEST(PhoneAppFiles, EveryAddressThePageAndServiceWorkerNameExists)
{
    const std::string html = bodyOf("/index.html");
    const std::regex local(R"((src|href)="(/[^"?]*))");
    int found = 0;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), local); it != std::sregex_iterator(); ++it, ++found) {
        const std::string path = (*it)[2].str();
        if (path != "/") {
            EXPECT_NE(findAppFile(path), nullptr) << "index.html names " << path;
        }
    }
    EXPECT_GE(found, 4);

    const std::string worker = bodyOf("/sw.js");
    std::smatch shell;
    ASSERT_TRUE(std::regex_search(worker, shell, std::regex(R"(const SHELL = \[([^\]]*)\])")));
    const std::string list = shell[1].str();
    const std::regex quoted(R"re("(/[^"]*)")re");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), quoted); it != std::sregex_iterator(); ++it) {
        const std::string path = (*it)[1].str();
        if (path != "/") {
            EXPECT_NE(findAppFile(path), nullptr) << "sw.js caches " << path;
        }
    }
}

TEST(PhoneAppFiles, ServiceWorkerCacheIsNamedAfterTheAppsContent)
{
    const std::string worker = bodyOf("/sw.js");
    EXPECT_EQ(worker.find("__SHELL_VERSION__"), std::string::npos);
    EXPECT_TRUE(std::regex_search(worker, std::regex(R"(const CACHE = "ringlark-shell-[0-9a-f]{16}";)")));
}

TEST(PhoneAppFiles, NothingTheContentSecurityPolicyWouldBlock)
{
    // The guards themselves, on pages and code that break the policy.
    const std::vector<std::pair<std::string, std::string>> badPages{
        {"<script>alert(1)</script>", "script without src"},
        {"<script src=\"/a.js\">go()</script>", "script with a body"},
        {"<SCRIPT>\n</SCRIPT>", "script without src"},
        {"<style>p{}</style>", "style block"},
        {"<p class=a style=\"color:red\">", "style attribute"},
        {"<button onclick=\"go()\">", "inline event handler"},
        {"<a href=\"javascript:go()\">", "javascript: URL"},
        {"<img src=\"data:image/png;base64,AA\">", "data: or blob: URL"},
    };
    for (const auto& [page, problem] : badPages) {
        SCOPED_TRACE(page);
        const auto problems = htmlPolicyProblems(page);
        EXPECT_NE(std::find(problems.begin(), problems.end(), problem), problems.end());
    }
    EXPECT_TRUE(htmlPolicyProblems("<script type=\"module\" src=\"/app.js\"></script><p class=\"style\">on=</p>").empty());
    for (const char* code : {"node.innerHTML = text", "el.setAttribute(\"style\", s)", "a { background: url(data:x) }"})
        EXPECT_FALSE(codePolicyProblems(code).empty()) << code;

    // The app.
    EXPECT_EQ(htmlPolicyProblems(bodyOf("/index.html")), std::vector<std::string>{});
    for (const char* path : {"/app.js", "/sw.js", "/app.css"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(codePolicyProblems(bodyOf(path)), std::vector<std::string>{});
    }
}

TEST(PhoneAppManifest, StartsAtThePairingPageOnlyForAValidCode)
{
    const std::string code = "0123456789abcdef0123456789abcdef";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "/"},
        {code, "/pair?c=" + code},
        {"", "/"},
        {"0123456789ABCDEF0123456789ABCDEF", "/"},
        {code.substr(1), "/"},
        {code + "0", "/"},
        {"0123456789abcdef0123456789abcde\"", "/"},
        {"0123456789abcdef0123456789abc&x=", "/"},
        {"../../0123456789abcdef0123456789", "/"},
        {std::string("0123456789abcdef\0""123456789abcde", 31) + "f", "/"},
    };
    for (const auto& [given, start] : cases) {
        SCOPED_TRACE(given.value_or("(none)"));
        const auto manifest = nlohmann::json::parse(
            manifestFor(given ? std::optional<std::string_view>(*given) : std::nullopt), nullptr, false);
        ASSERT_TRUE(manifest.is_object());
        EXPECT_EQ(manifest.value("start_url", ""), start);
        // The app's identity must not change with the code, or every pairing
        // would install a different app.
        EXPECT_EQ(manifest.value("id", ""), "/");
        EXPECT_EQ(manifest.value("scope", ""), "/");
        EXPECT_EQ(manifest.value("display", ""), "standalone");
    }
}

TEST(PhoneAppManifest, IconsAreServedAtTheirStatedSizes)
{
    const auto manifest = nlohmann::json::parse(manifestFor(std::nullopt));
    ASSERT_TRUE(manifest.contains("icons") && manifest["icons"].is_array());
    EXPECT_GE(manifest["icons"].size(), 2u);
    for (const auto& icon : manifest["icons"]) {
        const std::string src = icon.value("src", "");
        SCOPED_TRACE(src);
        const auto [width, height] = pngSize(bodyOf(src));
        EXPECT_EQ(icon.value("sizes", ""), std::to_string(width) + "x" + std::to_string(height));
        EXPECT_NE(width, 0u);
    }
}

} // namespace
