// loader_test.cpp: finding, refusing and initialising extensions.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // Io over /dev/null
#include "raised.hpp"     // raised_by

#include <zelt/embed.hpp> // require, extension_path, methods_of, call

#include <algorithm>     // includes
#include <cstdlib>       // setenv, getenv, mkdtemp
#include <fcntl.h>       // open
#include <filesystem>    // the scratch directory
#include <fstream>       // a file that is no shared object
#include <gtest/gtest.h> // TEST_P
#include <optional>      // the variable's old value
#include <set>           // the IO class's methods with their arities
#include <stdexcept>     // runtime_error
#include <string>        // paths, messages
#include <utility>       // name and arity

namespace rt_test {
namespace {

const std::string kExtDir = ZT_TEST_EXT_DIR; // noentry.so, counter.so, raising.so

// A scratch directory with NAME.so files that hold no shared object.
class JunkDir {
public:
    explicit JunkDir(std::initializer_list<const char *> names) {
        char tmpl[] = "/tmp/zelt-rt-ext-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        for (const char *name : names)
            std::ofstream(path_ / (std::string(name) + ".so")) << "not a library\n";
    }
    ~JunkDir() { std::filesystem::remove_all(path_); }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// Points ZELT_EXT_PATH at the test extensions; puts the variable back after.
class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *old = std::getenv("ZELT_EXT_PATH")) old_ = old;
        set_path(kExtDir);
    }
    void TearDown() override {
        if (old_)
            ::setenv("ZELT_EXT_PATH", old_->c_str(), 1);
        else
            ::unsetenv("ZELT_EXT_PATH");
    }
    static void set_path(const std::string &path) { ::setenv("ZELT_EXT_PATH", path.c_str(), 1); }

private:
    std::optional<std::string> old_;
};

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// ---- refusals ---------------------------------------------------------------------

struct Refusal {
    const char *name;
    const char *extension;
    const char *says; // what the message must hold
};

void PrintTo(const Refusal &c, std::ostream *os) { *os << c.name; }

const Refusal kRefusals[] = {
    {"missing_file", "zt_absent", "cannot find extension zt_absent.so"},
    {"missing_entry_point", "noentry", "no entry point Init_noentry"},
    {"not_a_shared_object", "junk", "cannot load "},
    {"empty_name", "", "invalid extension name"},
    {"parent_directory", "../x", "invalid extension name"},
    {"path", "a/b", "invalid extension name"},
    {"absolute_path", "/tmp/x", "invalid extension name"},
    {"file_name", "counter.so", "invalid extension name"},
};

class LoadRefused : public Loader, public ::testing::WithParamInterface<Refusal> {};

// Refused twice alike: a failed load is not remembered as a load.
TEST_P(LoadRefused, RaisesLoadErrorSayingWhy) {
    const Refusal &c = GetParam();
    JunkDir junk({"junk"});
    set_path(kExtDir + ":" + junk.path());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Raised r = raised_by([&] { zelt::require(c.extension); });
        EXPECT_EQ(r.class_name, "LoadError") << "attempt " << attempt;
        EXPECT_TRUE(contains(r.message, c.says)) << r.message;
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, LoadRefused, ::testing::ValuesIn(kRefusals), ByName());

TEST_F(Loader, MissingFileNamesTheDirectoriesSearched) {
    set_path("/nonexistent/zt-one:" + kExtDir);
    Raised r = raised_by([] { zelt::require("zt_absent"); });
    EXPECT_TRUE(contains(r.message, "/nonexistent/zt-one")) << r.message;
    EXPECT_TRUE(contains(r.message, kExtDir)) << r.message;
}

TEST_F(Loader, FirstDirectoryOnThePathWins) {
    JunkDir junk({"noentry"});
    set_path(junk.path() + ":" + kExtDir);
    Raised r = raised_by([] { zelt::require("noentry"); });
    EXPECT_TRUE(contains(r.message, "cannot load " + junk.path() + "/noentry.so")) << r.message;
}

// ---- loads ------------------------------------------------------------------------

TEST_F(Loader, SecondRequireDoesNothing) {
    EXPECT_TRUE(zelt::require("counter"));
    EXPECT_FALSE(zelt::require("counter"));
    set_path("/nonexistent"); // a loaded extension is not looked for again
    EXPECT_FALSE(zelt::require("counter"));
    zt::Io io(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(zelt::integer_value(zelt::call(io, "zt_counter_inits")), 1);
}

TEST_F(Loader, InitThatRaisesLeavesTheExtensionUnloaded) {
    for (int attempt = 1; attempt <= 2; ++attempt)
        EXPECT_EQ(raised_by([] { zelt::require("raising"); }).class_name, "TypeError")
            << "attempt " << attempt;
}

TEST_F(Loader, BuiltInDirectoryComesLastAndHoldsTheWaitExtension) {
    set_path(":/zt/a::/zt/b:");
    std::vector<std::string> dirs = zelt::extension_path();
    ASSERT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs[0], "/zt/a");
    EXPECT_EQ(dirs[1], "/zt/b");
    EXPECT_TRUE(dirs[2].ends_with("/zelt/ext")) << dirs[2];

    ::unsetenv("ZELT_EXT_PATH");
    ASSERT_EQ(zelt::extension_path().size(), 1u);
    EXPECT_EQ(raised_by([] { zelt::require("wait"); }).class_name, "");
    std::set<std::pair<std::string, int>> methods;
    for (const zelt::MethodInfo &m : zelt::methods_of(zl_cIO)) methods.emplace(m.name, m.arity);
    const std::set<std::pair<std::string, int>> wait_methods{
        {"nread", 0}, {"ready?", 0}, {"wait", -1}};
    EXPECT_TRUE(
        std::includes(methods.begin(), methods.end(), wait_methods.begin(), wait_methods.end()))
        << "the IO class lacks the wait extension's methods with their arities";
}

} // namespace
} // namespace rt_test
