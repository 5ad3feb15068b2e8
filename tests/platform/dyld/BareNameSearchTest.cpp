// A library named without a path is looked for as the loader looks on behalf of the library that
// asks for it: one already loaded under that name first, then that library's DT_RPATH,
// LD_LIBRARY_PATH as it was at start, its DT_RUNPATH, and only then what the executable reaches.
// A file built for another machine is passed over; any other file found ends the search, even
// one that does not load. An empty name is the main program's, as for the loader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <link.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kBundledPath = TEST_SEARCHED_BUNDLED_PATH;
const std::string kSystemPath = TEST_SEARCHED_SYSTEM_PATH;
constexpr const char* kSearchedName = "libtest_searched.so";

class Library {
public:
    // A null path opens the main program.
    explicit Library(const char* path, int mode = RTLD_NOW) : handle_(dlopen(path, mode)) {
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
    Library caller(callerPath.c_str());
    void* opened = caller.function<void*(const char*)>("test_search_open")(name);
    if (opened == nullptr) {
        return std::string("error: ") + dlerror();
    }
    auto* copy = reinterpret_cast<const char* (*)()>(dlsym(opened, "test_searched_copy"));
    const std::string which = copy != nullptr ? copy() : "?";
    dlclose(opened);
    return which;
}

// Marks the copy of this program that runs one test again with a different environment at start.
constexpr const char* kRerunVariable = "BARE_NAME_SEARCH_RERUN";

bool inRerun() {
    return std::getenv(kRerunVariable) != nullptr;
}

std::string systemDirectory() {
    return std::filesystem::path(kSystemPath).parent_path();
}

// Runs the current test again in a fresh copy of this program (through the build's emulator when
// cross-compiled) whose environment holds variables from the start, and expects it to pass.
void expectRerunPasses(const std::vector<std::string>& variables) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::vector<std::string> arguments;
    std::istringstream emulator(DYLD_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        arguments.push_back(word);
    }
    arguments.push_back(std::filesystem::read_symlink("/proc/self/exe"));
    arguments.push_back(std::string("--gtest_filter=") + test->test_suite_name() + "." +
                        test->name());
    std::vector<std::string> environment = variables;
    environment.push_back(std::string(kRerunVariable) + "=1");
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "LD_LIBRARY_PATH=", 16) != 0) {
            environment.emplace_back(*variable);
        }
    }
    const auto pointers = [](std::vector<std::string>& words) {
        std::vector<char*> list;
        for (auto& word : words) {
            list.push_back(word.data());
        }
        list.push_back(nullptr);
        return list;
    };
    auto argv = pointers(arguments);
    auto envp = pointers(environment);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(120);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A directory holding, under the searched library's name, an ELF header of this program's class
// and byte order for another machine.
class ForeignLibraryDirectory {
public:
    ForeignLibraryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "foreign.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
        Dl_info info;
        dladdr(reinterpret_cast<const void*>(&inRerun), &info);
        ElfW(Ehdr) header = *static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
        header.e_machine = header.e_machine == EM_RISCV ? EM_S390 : EM_RISCV;
        std::ofstream(path_ / kSearchedName, std::ios::binary)
            .write(reinterpret_cast<const char*>(&header), sizeof(header));
    }
    ~ForeignLibraryDirectory() { std::filesystem::remove_all(path_); }
    ForeignLibraryDirectory(const ForeignLibraryDirectory&) = delete;
    ForeignLibraryDirectory& operator=(const ForeignLibraryDirectory&) = delete;

    std::string path() const { return path_; }

private:
    std::filesystem::path path_;
};

TEST(BareNameSearch, AnEmptyNameOpensTheMainProgram) {
    Library self("");
    Library main(nullptr);
    EXPECT_EQ(self.handle(), main.handle());
}

TEST(BareNameSearch, ALibraryBundledOnTheCallersRunPathWinsOverTheOneTheExecutableReaches) {
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "bundled");
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RPATH_CALLER_PATH), "bundled");
}

TEST(BareNameSearch, LibraryPathAsAtStartComesAfterTheCallersRPathAndBeforeItsRunPath) {
    if (!inRerun()) {
        expectRerunPasses({"LD_LIBRARY_PATH=" + systemDirectory()});
        return;
    }
    // The loader reads the variable once, at start.
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RPATH_CALLER_PATH), "bundled");
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "system");
}

TEST(BareNameSearch, ALibraryBuiltForAnotherMachineIsPassedOver) {
    if (!inRerun()) {
        const ForeignLibraryDirectory foreign;
        expectRerunPasses({"LD_LIBRARY_PATH=" + foreign.path() + ":" + systemDirectory()});
        return;
    }
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "system");
}

TEST(BareNameSearch, ALibraryAlreadyLoadedUnderThatNameIsTheOneOpened) {
    Library system(kSystemPath.c_str());
    EXPECT_EQ(copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH), "system");
}

TEST(BareNameSearch, AFileFoundThatDoesNotLoadEndsTheSearchWithTheLoadersError) {
    const std::string result =
        copyOpenedBy(TEST_SEARCH_RUNPATH_CALLER_PATH, "libtest_searched_broken.so");
    EXPECT_TRUE(result.starts_with("error: ")) << result;
    EXPECT_NE(result.find("bundled/libtest_searched_broken.so"), std::string::npos) << result;
}

} // namespace
