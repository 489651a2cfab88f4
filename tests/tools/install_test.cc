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

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using nlohmann::json;

std::string dynamic_entry(const std::string& elf, const std::string& tag) {
  std::string out;
  cmtest::run_command("readelf -d " + cmtest::shell_quote(elf) + " 2>/dev/null", &out);
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    if (l.find("(" + tag + ")") == std::string::npos) continue;
    const size_t open = l.find('['), close = l.rfind(']');
    if (open != std::string::npos && close > open) return l.substr(open + 1, close - open - 1);
  }
  return "";
}

// Compilers to check the public headers with: this tree's, and GCC's when it is a different one
// (their -pedantic diagnostics differ).
std::vector<std::string> compilers(const std::string& own, const std::string& gnu) {
  std::vector<std::string> out{own};
  if (own.find(gnu) == std::string::npos && cmtest::run_command("command -v " + gnu) == 0)
    out.push_back(gnu);
  return out;
}

const char kStrict[] = " -Wall -Wextra -pedantic -Werror ";

struct Mode {
  const char* language;
  const char* standard;
};
const Mode kHostModes[] = {{"c", "c89"}, {"c", "c99"}, {"c++", "c++98"}, {"c++", "c++17"}};

// Checks that `source` compiles under the strict flags in every host mode with every compiler.
void expect_strict_compile(const std::string& source, const std::string& include_dir) {
  for (const Mode& mode : kHostModes) {
    const bool c = std::string(mode.language) == "c";
    for (const std::string& compiler :
         compilers(c ? CM_C_COMPILER : CM_CXX_COMPILER, c ? "gcc" : "g++")) {
      std::string out;
      EXPECT_EQ(cmtest::run_command(compiler + " -std=" + mode.standard + kStrict + "-I" +
                                        cmtest::shell_quote(include_dir) + " -x " + mode.language +
                                        " -fsyntax-only " + cmtest::shell_quote(source) + " 2>&1",
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
    install_status = cmtest::run_command(std::string(CM_CMAKE_COMMAND) + " --install " +
                                             cmtest::shell_quote(CM_BUILD_DIR) + " --prefix " +
                                             cmtest::shell_quote(prefix) + " 2>&1",
                                         &install_log);
  }
  static void TearDownTestSuite() { cmtest::run_command("rm -rf " + cmtest::shell_quote(prefix)); }

  void SetUp() override { ASSERT_EQ(install_status, 0) << install_log; }

  std::string include_dir() const { return prefix + "/include/cmmrv1_0"; }
};

std::string InstallTest::prefix;
int InstallTest::install_status = -1;
std::string InstallTest::install_log;

TEST_F(InstallTest, InstallsTheLibraryToolPackagesAndDocs) {
  for (const char* file :
       {"lib/libcmmrv1_0.so", "bin/cmi", "include/cmmrv1_0/cm_plugin.h",
        "include/cmmrv1_0/cm_export.h", "lib/cmake/cmmrv1_0/cmmrv1_0Config.cmake",
        "lib/cmake/cmmrv1_0/cmmrv1_0ConfigVersion.cmake", "lib/pkgconfig/cmmrv1_0.pc",
        "share/man/man1/cmi.1", "share/bash-completion/completions/cmi"}) {
    EXPECT_TRUE(cmtest::path_exists(prefix + "/" + file)) << file;
  }

  // The unversioned name hosts dlopen and the SONAME link both lead to one versioned file.
  const std::string lib = prefix + "/lib/libcmmrv1_0.so";
  const std::string soname = dynamic_entry(lib, "SONAME");
  EXPECT_EQ(soname.rfind("libcmmrv1_0.so.", 0), 0u) << soname;
  struct stat by_name {
  }, by_soname{};
  ASSERT_EQ(lstat(lib.c_str(), &by_name), 0);
  EXPECT_TRUE(S_ISLNK(by_name.st_mode));
  ASSERT_EQ(stat(lib.c_str(), &by_name), 0);
  ASSERT_EQ(stat((prefix + "/lib/" + soname).c_str(), &by_soname), 0) << soname;
  EXPECT_EQ(by_name.st_ino, by_soname.st_ino);

  // cmi finds the library relative to itself; nothing installed points into the build tree.
  EXPECT_EQ(dynamic_entry(prefix + "/bin/cmi", "RUNPATH"), "$ORIGIN/../lib");
  for (const std::string& elf : {prefix + "/bin/cmi", lib}) {
    for (const char* tag : {"RUNPATH", "RPATH"}) {
      const std::string path = dynamic_entry(elf, tag);
      EXPECT_EQ(path.find(CM_BUILD_DIR), std::string::npos) << elf << " " << tag << " " << path;
    }
  }

  // The manual page is roff built from its source, and the completion completes.
  EXPECT_NE(cmtest::read_file(prefix + "/share/man/man1/cmi.1").find("\n.TH"), std::string::npos);
  std::string out;
  const std::string completion =
      cmtest::shell_quote(prefix + "/share/bash-completion/completions/cmi");
  ASSERT_EQ(cmtest::run_command("bash -c 'source \"$0\"; COMP_WORDS=(cmi ver); COMP_CWORD=1; "
                                "_cmi; echo \"${COMPREPLY[*]}\"; COMP_WORDS=(cmi creds add --pa); "
                                "COMP_CWORD=3; _cmi; echo \"${COMPREPLY[*]}\"' " +
                                    completion,
                                &out),
            0);
  EXPECT_EQ(out, "version\n--password-stdin\n");
}

TEST_F(InstallTest, InstalledCmiRunsFromACopyOfTheTree) {
  const std::string copy = prefix + "-moved";
  ASSERT_EQ(
      cmtest::run_command("cp -a " + cmtest::shell_quote(prefix) + " " + cmtest::shell_quote(copy)),
      0);
  std::string out;
  const int status =
      cmtest::run_command("env -u LD_LIBRARY_PATH -u CMI_PLUGIN " +
                              cmtest::shell_quote(copy + "/bin/cmi") + " version 2>&1",
                          &out);
  cmtest::run_command("rm -rf " + cmtest::shell_quote(copy));
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.rfind("libcmmrv1_0 ", 0), 0u) << out;
}

TEST_F(InstallTest, PublicHeadersBuildAloneAndNeedNothingOfTheLibrariesBehindThem) {
  std::string list;
  ASSERT_EQ(cmtest::run_command("ls " + cmtest::shell_quote(include_dir()), &list), 0);
  std::istringstream names(list);
  int headers = 0;
  for (std::string name; std::getline(names, name); ++headers) {
    const std::string header = include_dir() + "/" + name;
    std::string out;
    // -M lists every file the header pulls in.
    EXPECT_EQ(cmtest::run_command(std::string(CM_CXX_COMPILER) + " -std=c++17" + kStrict +
                                      "-x c++ -M " + cmtest::shell_quote(header) + " 2>&1",
                                  &out),
              0)
        << name << "\n"
        << out;
    for (const char* foreign : {"/curl/", "/xercesc/", "/unicode/"})
      EXPECT_EQ(out.find(foreign), std::string::npos) << name << " includes " << foreign;
  }
  EXPECT_GE(headers, 2);

  // The host interface is plain C as well as C++.
  expect_strict_compile(include_dir() + "/cm_plugin.h", include_dir());
}

// The README's host example, exactly as printed there, is a program that builds cleanly.
TEST_F(InstallTest, ReadmeHostSnippetCompilesAsWritten) {
  const std::string readme = cmtest::read_file(std::string(CM_SOURCE_DIR) + "/README.md");
  const size_t section = readme.find("## Loading the library from a host");
  ASSERT_NE(section, std::string::npos);
  const size_t start = readme.find("```c\n", section);
  ASSERT_NE(start, std::string::npos);
  const size_t end = readme.find("```\n", start + 5);
  ASSERT_NE(end, std::string::npos);
  const std::string source = prefix + "/readme_host.c";
  cmtest::write_file(source, readme.substr(start + 5, end - start - 5));
  expect_strict_compile(source, include_dir());
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

  const std::string host_src = std::string(CM_SOURCE_DIR) + "/tests/install";
  const std::string flags = std::string(CM_HOST_C_FLAGS) + kStrict;
  const std::string pc =
      "PKG_CONFIG_PATH=" + cmtest::shell_quote(prefix + "/lib/pkgconfig") + " pkg-config ";
  struct Way {
    const char* name;
    std::string build;  // shell command that builds the host
    std::string program;
    const char* record;
  };
  const std::string cmake_dir = prefix + "/host-cmake";
  const std::vector<Way> ways = {
      {"CMake package",
       std::string(CM_CMAKE_COMMAND) + " -S " + cmtest::shell_quote(host_src) + " -B " +
           cmtest::shell_quote(cmake_dir) + " -DCMAKE_PREFIX_PATH=" + cmtest::shell_quote(prefix) +
           " -DCMAKE_C_COMPILER=" + CM_C_COMPILER +
           " -DCMAKE_C_STANDARD=99 -DCMAKE_C_FLAGS=" + cmtest::shell_quote(flags) +
           " -DCMAKE_EXE_LINKER_FLAGS=" + cmtest::shell_quote(CM_HOST_LINK_FLAGS) + " && " +
           CM_CMAKE_COMMAND + " --build " + cmtest::shell_quote(cmake_dir),
       cmake_dir + "/host", "MR20"},
      {"pkg-config",
       std::string(CM_C_COMPILER) + " -std=c99 " + flags +
           cmtest::shell_quote(host_src + "/host.c") + " -o " +
           cmtest::shell_quote(prefix + "/host-pc") + " $(" + pc +
           "--cflags --libs cmmrv1_0) -Wl,-rpath,$(" + pc + "--variable=libdir cmmrv1_0) -ldl " +
           CM_HOST_LINK_FLAGS,
       prefix + "/host-pc", "MR21"},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    std::string out;
    ASSERT_EQ(cmtest::run_command("(" + way.build + ") 2>&1", &out), 0) << way.build << "\n" << out;
    const std::string selector = std::string("tw://vob/src/") + way.record + ".c@@/main/4";
    EXPECT_EQ(cmtest::run_command(cmtest::shell_quote(way.program) + " " +
                                      cmtest::shell_quote(prefix + "/lib/libcmmrv1_0.so") + " " +
                                      cmtest::shell_quote(sim.base_url()) + " " + way.record + " " +
                                      cmtest::shell_quote(selector) + " 2>&1",
                                  &out),
              0)
        << out;
    const json record = sim.record("S1", "DB1", way.record);
    ASSERT_TRUE(record.is_object()) << record;
    ASSERT_EQ(record["links"].size(), 1u) << record;
    EXPECT_EQ(record["links"][0]["resource"], selector);
  }
}

}  // namespace
