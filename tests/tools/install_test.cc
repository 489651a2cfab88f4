// The installed tree as an administrator and a host developer meet it: `cmake --install` into a
// temporary prefix, the files and links it holds, public headers that build alone under strict
// flags, and the README's host example built against the install as the README says (CMake
// package, pkg-config), run against the tracker simulator.
//
// The hosts are compiled with this tree's own compiler and sanitizer flags: a sanitizer-built
// library only loads into a program that carries the same runtime (scripts/package builds and
// checks the plain Release library).
#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::run_command;
using cmtest::shell_quote;

const char kStrict[] = " -Wall -Wextra -pedantic -Werror ";

std::string dynamic_entry(const std::string& elf, const std::string& tag) {
  std::string out;
  run_command(
      "readelf -d " + shell_quote(elf) + " | sed -n 's/.*(" + tag + ").*\\[\\(.*\\)\\]/\\1/p'",
      &out);
  return out.empty() ? out : out.substr(0, out.size() - 1);
}

// The first block fenced as `lang` after `heading` in the README.
std::string readme_block(const std::string& heading, const std::string& lang) {
  const std::string readme = cmtest::read_file(CM_SOURCE_DIR "/README.md");
  const size_t start = readme.find("```" + lang + "\n", readme.find(heading));
  const size_t end = readme.find("```\n", start + 4);
  EXPECT_NE(start, std::string::npos) << heading;
  return start == std::string::npos
             ? ""
             : readme.substr(start + 4 + lang.size(), end - start - 4 - lang.size());
}

// Checks that `source` compiles under the strict flags as C89, C99, C++98 and C++17, with this
// tree's compilers and GCC's when they are others (their -pedantic diagnostics differ).
void expect_strict_compile(const std::string& source, const std::string& include_dir) {
  for (const std::string mode : {"c -std=c89", "c -std=c99", "c++ -std=c++98", "c++ -std=c++17"}) {
    const bool cxx = mode[1] == '+';
    for (const std::string compiler :
         {cxx ? CM_CXX_COMPILER : CM_C_COMPILER, cxx ? "g++" : "gcc"}) {
      std::string out;
      if (run_command("command -v " + compiler + " >/dev/null") == 0)
        EXPECT_EQ(run_command(compiler + kStrict + "-I" + shell_quote(include_dir) +
                                  " -fsyntax-only -x " + mode + " " + shell_quote(source) + " 2>&1",
                              &out),
                  0)
            << compiler << " " << mode << " " << source << "\n"
            << out;
    }
  }
}

class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix = cmtest::make_temp_dir("cm-install");
    install_status =
        run_command(std::string(CM_CMAKE_COMMAND) + " --install " + shell_quote(CM_BUILD_DIR) +
                        " --prefix " + shell_quote(prefix) + " 2>&1",
                    &install_log);
  }
  static void TearDownTestSuite() { run_command("rm -rf " + shell_quote(prefix)); }
  void SetUp() override { ASSERT_EQ(install_status, 0) << install_log; }

  static std::string prefix, install_log;
  static int install_status;
  const std::string include_dir = prefix + "/include/cmmrv1_0";
};

std::string InstallTest::prefix, InstallTest::install_log;
int InstallTest::install_status = -1;

TEST_F(InstallTest, InstallsARelocatableTreeWithPackagesAndDocs) {
  // The CMake package and pkg-config file are read by the README host's builds below.
  EXPECT_TRUE(cmtest::path_exists(prefix + "/lib/cmake/cmmrv1_0/cmmrv1_0ConfigVersion.cmake"));

  // The unversioned name hosts dlopen and the SONAME link both lead to one versioned file.
  const std::string lib = prefix + "/lib/libcmmrv1_0.so";
  const std::string soname = dynamic_entry(lib, "SONAME");
  EXPECT_EQ(soname.rfind("libcmmrv1_0.so.", 0), 0u) << soname;
  EXPECT_EQ(
      run_command("cd " + shell_quote(prefix + "/lib") + " && test -L libcmmrv1_0.so && test " +
                  "\"$(readlink -f libcmmrv1_0.so)\" = \"$(readlink -f " + soname + ")\""),
      0);

  // cmi finds the library relative to itself, so a copy of the tree runs; nothing installed
  // points into the build tree.
  EXPECT_EQ(dynamic_entry(prefix + "/bin/cmi", "RUNPATH"), "$ORIGIN/../lib");
  EXPECT_EQ(dynamic_entry(lib, "R.*PATH"), "");
  const std::string copy = prefix + "-moved";
  std::string out;
  const int status = run_command("cp -a " + shell_quote(prefix) + " " + shell_quote(copy) +
                                     " && env -u LD_LIBRARY_PATH -u CMI_PLUGIN " +
                                     shell_quote(copy + "/bin/cmi") + " version 2>&1",
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
  // -M lists every file a header pulls in; each header is compiled alone.
  std::string out;
  EXPECT_EQ(
      run_command("cd " + shell_quote(include_dir) + " && for h in *.h; do " + CM_CXX_COMPILER +
                      " -std=c++17" + kStrict + "-x c++ -M \"$h\" || exit 1; done 2>&1",
                  &out),
      0)
      << out;
  EXPECT_NE(out.find("cm_plugin.h"), std::string::npos) << out;
  for (const char* foreign : {"/curl/", "/xercesc/", "/unicode/"})
    EXPECT_EQ(out.find(foreign), std::string::npos) << foreign << " in\n" << out;
  // The host interface is plain C as well as C++, and so is the README's host example.
  expect_strict_compile(include_dir + "/cm_plugin.h", include_dir);
  cmtest::write_file(prefix + "/readme_host.c",
                     readme_block("## Loading the library from a host", "c"));
  expect_strict_compile(prefix + "/readme_host.c", include_dir);
}

// The README's host, built each way the README shows, loads the installed library and links a
// version to the record its example names.
TEST_F(InstallTest, ReadmeHostBuiltAgainstTheInstallCommitsALink) {
  cmtest::TempHome home;
  unsetenv("CMI_PLUGIN");
  const nlohmann::json empty = {
      {"dbset", "PROD"}, {"userdb", "CHG"}, {"id", "MR00042"}, {"links", nlohmann::json::array()}};
  cmtest::TrackerSim sim;
  ASSERT_TRUE(sim.running());

  std::string host = readme_block("## Loading the library from a host", "c");
  host.replace(host.find("https://t/oslc"), 14, sim.base_url());
  const std::string dir = prefix + "/host";
  ASSERT_EQ(run_command("mkdir -p " + shell_quote(dir)), 0);
  cmtest::write_file(dir + "/myhost.c", host);
  const std::string guide = "### Building a host against the installed library";
  cmtest::write_file(dir + "/CMakeLists.txt",
                     "cmake_minimum_required(VERSION 3.18)\nproject(myhost C)\n"
                     "add_executable(myhost myhost.c)\n" +
                         readme_block(guide, "cmake"));
  const std::string flags = std::string(CM_HOST_C_FLAGS) + kStrict;
  std::string pkg_config = readme_block(guide, "sh");
  pkg_config.replace(pkg_config.find("/opt/cmmrv1_0"), 13, prefix);
  pkg_config.replace(pkg_config.find("cc "), 3, CM_C_COMPILER " " + flags);
  const std::string ways[] = {
      std::string(CM_CMAKE_COMMAND) + " -S . -B build -DCMAKE_PREFIX_PATH=" + shell_quote(prefix) +
          " -DCMAKE_C_COMPILER=" + CM_C_COMPILER + " -DCMAKE_C_FLAGS=" + shell_quote(flags) +
          " -DCMAKE_EXE_LINKER_FLAGS=" + shell_quote(CM_HOST_LINK_FLAGS) + " && " +
          CM_CMAKE_COMMAND + " --build build && build/myhost",
      pkg_config.substr(0, pkg_config.size() - 1) + " " + CM_HOST_LINK_FLAGS + " && ./myhost"};
  for (const std::string& way : ways) {
    SCOPED_TRACE(way);
    sim.put_record(empty);  // the README's record, without links
    std::string out;
    EXPECT_EQ(run_command("cd " + shell_quote(dir) + " && (" + way + ") 2>&1", &out), 0) << out;
    const nlohmann::json record = sim.record("PROD", "CHG", "MR00042");
    ASSERT_EQ(record["links"].size(), 1u) << record;
    EXPECT_EQ(record["links"][0]["resource"], "tw://vob/a.c@@/main/3");
  }
}

}  // namespace
