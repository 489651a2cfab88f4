// The installed tree as an administrator and a host developer meet it: `cmake --install` into a
// temporary prefix, the files and links it holds, public headers that build alone under strict
// flags, and a small C host built against the install both ways (CMake package, pkg-config) that
// loads the plug-in and COMMITs a link to the tracker simulator.
//
// The hosts are compiled with this tree's own compiler and sanitizer flags: a sanitizer-built
// library only loads into a program that carries the same runtime, and building a second, plain
// copy of the library here would cost CI minutes for no extra coverage (scripts/package builds
// and checks the plain Release library).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::run_command;
using cmtest::shell_quote;

std::string dynamic_entry(const std::string& elf, const std::string& tag) {
  std::string out;
  run_command("readelf -d " + shell_quote(elf) + " 2>/dev/null", &out);
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    const size_t open = l.find('['), close = l.rfind(']');
    if (l.find("(" + tag + ")") != std::string::npos && open != std::string::npos && close > open)
      return l.substr(open + 1, close - open - 1);
  }
  return "";
}

const char kStrict[] = " -Wall -Wextra -pedantic -Werror ";

// Checks that `source` compiles under the strict flags as C89, C99, C++98 and C++17, with this
// tree's compilers and GCC's when they are others (their -pedantic diagnostics differ).
void expect_strict_compile(const std::string& source, const std::string& include_dir) {
  const struct {
    const char *language, *standard, *own, *gnu;
  } modes[] = {{"c", "c89", CM_C_COMPILER, "gcc"},
               {"c", "c99", CM_C_COMPILER, "gcc"},
               {"c++", "c++98", CM_CXX_COMPILER, "g++"},
               {"c++", "c++17", CM_CXX_COMPILER, "g++"}};
  for (const auto& mode : modes) {
    std::vector<std::string> compilers{mode.own};
    if (std::string(mode.own).find(mode.gnu) == std::string::npos &&
        run_command(std::string("command -v ") + mode.gnu) == 0)
      compilers.push_back(mode.gnu);
    for (const std::string& compiler : compilers) {
      std::string out;
      EXPECT_EQ(run_command(compiler + " -std=" + mode.standard + kStrict + "-I" +
                                shell_quote(include_dir) + " -x " + mode.language +
                                " -fsyntax-only " + shell_quote(source) + " 2>&1",
                            &out),
                0)
          << compiler << " " << mode.standard << " " << source << "\n"
          << out;
    }
  }
}

class InstallTest : public ::testing::Test {
 protected:
  static std::string prefix;
  static int install_status;
  static std::string install_log;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/cm-install-XXXXXX";
    prefix = mkdtemp(tmpl);
    install_status =
        run_command(std::string(CM_CMAKE_COMMAND) + " --install " + shell_quote(CM_BUILD_DIR) +
                        " --prefix " + shell_quote(prefix) + " 2>&1",
                    &install_log);
  }
  static void TearDownTestSuite() { run_command("rm -rf " + shell_quote(prefix)); }
  void SetUp() override { ASSERT_EQ(install_status, 0) << install_log; }
  std::string include_dir() const { return prefix + "/include/cmmrv1_0"; }
};

std::string InstallTest::prefix;
int InstallTest::install_status = -1;
std::string InstallTest::install_log;

TEST_F(InstallTest, InstallsARelocatableTreeWithPackagesAndDocs) {
  for (const char* file :
       {"include/cmmrv1_0/cm_plugin.h", "lib/cmake/cmmrv1_0/cmmrv1_0ConfigVersion.cmake",
        "share/man/man1/cmi.1", "share/bash-completion/completions/cmi"})
    EXPECT_TRUE(cmtest::path_exists(prefix + "/" + file)) << file;

  // The unversioned name hosts dlopen and the SONAME link both lead to one versioned file.
  const std::string lib = prefix + "/lib/libcmmrv1_0.so";
  const std::string soname = dynamic_entry(lib, "SONAME");
  EXPECT_EQ(soname.rfind("libcmmrv1_0.so.", 0), 0u) << soname;
  struct stat by_name {
  }, by_soname{};
  ASSERT_EQ(lstat(lib.c_str(), &by_name), 0);
  EXPECT_TRUE(S_ISLNK(by_name.st_mode));
  ASSERT_EQ(stat(lib.c_str(), &by_name) | stat((prefix + "/lib/" + soname).c_str(), &by_soname), 0);
  EXPECT_EQ(by_name.st_ino, by_soname.st_ino);

  // cmi finds the library relative to itself, so a copy of the tree runs; nothing installed
  // points into the build tree.
  EXPECT_EQ(dynamic_entry(prefix + "/bin/cmi", "RUNPATH"), "$ORIGIN/../lib");
  for (const std::string& elf : {prefix + "/bin/cmi", lib})
    for (const char* tag : {"RUNPATH", "RPATH"})
      EXPECT_EQ(dynamic_entry(elf, tag).find(CM_BUILD_DIR), std::string::npos) << elf << tag;
  const std::string copy = prefix + "-moved";
  std::string out;
  ASSERT_EQ(run_command("cp -a " + shell_quote(prefix) + " " + shell_quote(copy)), 0);
  const int status = run_command(
      "env -u LD_LIBRARY_PATH -u CMI_PLUGIN " + shell_quote(copy + "/bin/cmi") + " version 2>&1",
      &out);
  run_command("rm -rf " + shell_quote(copy));
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.rfind("libcmmrv1_0 ", 0), 0u) << out;

  // The manual page is roff built from its source, and the completion completes.
  EXPECT_NE(cmtest::read_file(prefix + "/share/man/man1/cmi.1").find("\n.TH"), std::string::npos);
  ASSERT_EQ(run_command("bash -c 'source \"$0\"; COMP_WORDS=(cmi ver); COMP_CWORD=1; _cmi; "
                        "echo \"${COMPREPLY[*]}\"; COMP_WORDS=(cmi creds add --pa); COMP_CWORD=3; "
                        "_cmi; echo \"${COMPREPLY[*]}\"' " +
                            shell_quote(prefix + "/share/bash-completion/completions/cmi"),
                        &out),
            0);
  EXPECT_EQ(out, "version\n--password-stdin\n");
}

TEST_F(InstallTest, PublicHeadersBuildAloneAndNeedNothingOfTheLibrariesBehindThem) {
  std::string list;
  ASSERT_EQ(run_command("ls " + shell_quote(include_dir()), &list), 0);
  std::istringstream names(list);
  int headers = 0;
  for (std::string name; std::getline(names, name); ++headers) {
    std::string out;
    // -M lists every file the header pulls in.
    EXPECT_EQ(run_command(std::string(CM_CXX_COMPILER) + " -std=c++17" + kStrict + "-x c++ -M " +
                              shell_quote(include_dir() + "/" + name) + " 2>&1",
                          &out),
              0)
        << name << "\n"
        << out;
    for (const char* foreign : {"/curl/", "/xercesc/", "/unicode/"})
      EXPECT_EQ(out.find(foreign), std::string::npos) << name << " includes " << foreign;
  }
  EXPECT_GE(headers, 2);

  // The host interface is plain C as well as C++, and so is the README's host example.
  expect_strict_compile(include_dir() + "/cm_plugin.h", include_dir());
  const std::string readme = cmtest::read_file(std::string(CM_SOURCE_DIR) + "/README.md");
  const size_t start = readme.find("```c\n", readme.find("## Loading the library from a host"));
  ASSERT_NE(start, std::string::npos);
  const size_t end = readme.find("```\n", start + 5);
  cmtest::write_file(prefix + "/readme_host.c", readme.substr(start + 5, end - start - 5));
  expect_strict_compile(prefix + "/readme_host.c", include_dir());
}

// One host built each way links the installed library, loads it with dlopen and links one
// version to a record of the simulator.
TEST_F(InstallTest, HostBuiltAgainstTheInstallCommitsALink) {
  cmtest::TempHome home;
  unsetenv("CMI_PLUGIN");
  cmtest::TrackerSimOptions options;
  options.seed_json = R"({"records":[
    {"dbset":"S1","userdb":"DB1","id":"MR20","links":[]},
    {"dbset":"S1","userdb":"DB1","id":"MR21","links":[]}]})";
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running());

  const std::string source = std::string(CM_SOURCE_DIR) + "/tests/install";
  const std::string flags = std::string(CM_HOST_C_FLAGS) + kStrict;
  const std::string pc =
      "PKG_CONFIG_PATH=" + shell_quote(prefix + "/lib/pkgconfig") + " pkg-config ";
  const std::string cmake_dir = prefix + "/host-cmake";
  const struct {
    const char* name;
    std::string build, program;
    const char* record;
  } ways[] = {
      {"CMake package",
       std::string(CM_CMAKE_COMMAND) + " -S " + shell_quote(source) + " -B " +
           shell_quote(cmake_dir) + " -DCMAKE_PREFIX_PATH=" + shell_quote(prefix) +
           " -DCMAKE_C_COMPILER=" + CM_C_COMPILER + " -DCMAKE_C_STANDARD=99 -DCMAKE_C_FLAGS=" +
           shell_quote(flags) + " -DCMAKE_EXE_LINKER_FLAGS=" + shell_quote(CM_HOST_LINK_FLAGS) +
           " && " + CM_CMAKE_COMMAND + " --build " + shell_quote(cmake_dir),
       cmake_dir + "/host", "MR20"},
      {"pkg-config",
       std::string(CM_C_COMPILER) + " -std=c99 " + flags + shell_quote(source + "/host.c") +
           " -o " + shell_quote(prefix + "/host-pc") + " $(" + pc +
           "--cflags --libs cmmrv1_0) -Wl,-rpath,$(" + pc + "--variable=libdir cmmrv1_0) -ldl " +
           CM_HOST_LINK_FLAGS,
       prefix + "/host-pc", "MR21"},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    std::string out;
    ASSERT_EQ(run_command("(" + way.build + ") 2>&1", &out), 0) << way.build << "\n" << out;
    const std::string selector = std::string("tw://vob/src/") + way.record + ".c@@/main/4";
    EXPECT_EQ(
        run_command(shell_quote(way.program) + " " + shell_quote(prefix + "/lib/libcmmrv1_0.so") +
                        " " + shell_quote(sim.base_url()) + " " + way.record + " " +
                        shell_quote(selector) + " 2>&1",
                    &out),
        0)
        << out;
    const nlohmann::json record = sim.record("S1", "DB1", way.record);
    ASSERT_EQ(record["links"].size(), 1u) << record;
    EXPECT_EQ(record["links"][0]["resource"], selector);
  }
}

}  // namespace
