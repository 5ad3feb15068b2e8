// A library named without a path is looked for as the loader looks on behalf of the library that
// asks for it: one already loaded under that name first, then that library's DT_RPATH,
// LD_LIBRARY_PATH, its DT_RUNPATH, and only then what the executable reaches. The first file
// found ends the search, even one that does not load.
#include "ForkedChild.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kBundledPath = TEST_SEARCHED_BUNDLED_PATH;
const std::string kSystemPath = TEST_SEARCHED_SYSTEM_PATH;
constexpr const char* kSearchedName = "libtest_searched.so";

class Library {
public:
    explicit Library(const std::string& path, int mode = RTLD_NOW)
        : handle_(dlopen(path.c_str(), mode)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(dlerror());
        }
    }
    ~Library() { dlclose(handle_); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    void* handle() const { return handle_; }
    template <typename Function> Function* function(const char* name) const {
        return reinterpret_cast<Function*>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

// Which copy of the searched library the caller's dlopen of name gives, else the loader's error.
std::string copyOpenedBy(const std::string& callerPath, const char* name = kSearchedName) {
    Library caller(callerPath);
    void* opened = caller.function<void*(const char*)>("test_search_open")(name);
    if (opened == nullptr) {
        return std::string("error: ") + dlerror();
    }
    auto* copy = reinterpret_cast<const char* (*)()>(dlsym(opened, "test_searched_copy"));
    const std::string which = copy != nullptr ? copy() : "?";
    dlclose(opened);
    return which;
}

TEST(BareNameSearch, ALibraryBundledOnTheCallersRunPathWinsOverTheOneTheExecutableReaches) {
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "bundled");
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RPATH_CALLER_PATH), "bundled");
}

TEST(BareNameSearch, LibraryPathComesAfterTheCallersRPathAndBeforeItsRunPath) {
    const int status = runInForkedChild([] {
        setenv("LD_LIBRARY_PATH", std::filesystem::path(kSystemPath).parent_path().c_str(), 1);
        const bool inOrder = copyOpenedBy(TEST_SEARCH_RPATH_CALLER_PATH) == "bundled" &&
                             copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH) == "system";
        _exit(inOrder ? 0 : 1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(BareNameSearch, ALibraryAlreadyLoadedUnderThatNameIsTheOneOpened) {
    Library system(kSystemPath);
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "system");
}

TEST(BareNameSearch, AFileFoundThatDoesNotLoadEndsTheSearchWithTheLoadersError) {
    const std::string result =
        copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH, "libtest_searched_broken.so");
    EXPECT_TRUE(result.starts_with("error: ")) << result;
    EXPECT_NE(result.find("bundled/libtest_searched_broken.so"), std::string::npos) << result;
}

} // namespace
