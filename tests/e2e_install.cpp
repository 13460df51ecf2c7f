// The table library as a program outside the project uses it: installed
// into a prefix that is then moved, the README's C example built from it
// with pkg-config and with CMake's find_package, and run against the real
// server by a user who may only read the table.
#include "harness.h"

#include <sys/stat.h>

namespace {

using harness::allowedIds;

// The README's example: the C code block after its marker, as it stands there.
std::string readmeExample() {
    std::string readme = harness::readFile(KEYREG_SOURCE_DIR "/README.md");
    size_t marker = readme.find("<!-- example.c -->");
    size_t start = readme.find("```c\n", marker);
    size_t end = readme.find("```\n", start + 1);
    if (marker == std::string::npos || start == std::string::npos || end == std::string::npos) return "";
    return readme.substr(start + 5, end - start - 5);
}

// The status of a shell script, with all it printed in said.
int sh(const std::string& script, std::string& said) {
    std::string out, err;
    int status = harness::runCommand({"sh", "-ec", script}, &out, &err);
    said = out + err;
    return status;
}

const char kFindPackage[] =
    "cmake_minimum_required(VERSION 3.25)\n"
    "project(example C)\n"
    "find_package(keyreg 1 REQUIRED)\n"
    "add_executable(example example.c)\n"
    "target_link_libraries(example PRIVATE keyreg::keyreg)\n";

using Install = harness::ServerTest;

TEST_F(Install, TheReadmeExampleBuildsFromAMovedPrefixAndReadsAsAnotherUser) {
    std::string example = readmeExample(), said;
    ASSERT_FALSE(example.empty()) << "README.md has no C example after <!-- example.c -->";
    for (const char* component : {"libkeyreg1", "libkeyreg-dev"}) {
        ASSERT_EQ(sh("cmake --install " KEYREG_BINARY_DIR " --prefix installed --component " + std::string(component),
                     said), 0) << said;
    }
    ASSERT_EQ(rename("installed", "moved"), 0);
    ASSERT_EQ(mkdir("by-cmake", 0755), 0);
    harness::writeFile("example.c", example);
    harness::writeFile("by-cmake/example.c", example);
    harness::writeFile("by-cmake/CMakeLists.txt", kFindPackage);
    ASSERT_EQ(sh("export PKG_CONFIG_PATH=$(dirname $(find moved -name keyreg.pc))\n"
                 "cc -std=c99 -Wall -Wextra -pedantic -Werror example.c $(pkg-config --cflags --libs keyreg) "
                 "-o example\n"
                 "cmake -S by-cmake -B by-cmake/build -DCMAKE_PREFIX_PATH=\"$PWD/moved\" >/dev/null\n"
                 "cmake --build by-cmake/build >/dev/null",
                 said), 0) << said;

    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string& id = allowedIds()[0];
    ASSERT_EQ(registerOnce(id, "s3cret"), harness::kOk);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string reader = "setpriv --reuid=65532 --regid=65532 --clear-groups ";
    const std::string libdir = "LD_LIBRARY_PATH=$(dirname $(find moved -name libkeyreg.so.1)) ";
    EXPECT_EQ(sh(libdir + reader + "./example " + id, said), 0) << said;
    EXPECT_EQ(said, id + ": s3cret\n");
    EXPECT_EQ(sh(reader + "by-cmake/build/example " + id, said), 0) << said;
    EXPECT_EQ(said, id + ": s3cret\n");
    EXPECT_EQ(sh(libdir + "./example mallory", said), 1) << said;
    EXPECT_EQ(said, "mallory: no key\n");
}

// An install into a prefix writes nothing outside it, for each package's
// files; DESTDIR shows where they would have gone.
TEST_F(Install, WritesOnlyUnderItsPrefix) {
    for (const std::string component : {"keyreg", "libkeyreg1", "libkeyreg-dev"}) {
        std::string said;
        ASSERT_EQ(sh("DESTDIR=$PWD/" + component + " cmake --install " KEYREG_BINARY_DIR " --prefix /opt/keyreg-test "
                     "--component " + component + " >/dev/null\ncd " + component + " && find . | grep -vx -e . "
                     "-e ./opt -e './opt/keyreg-test\\(/.*\\)\\?' || true", said), 0) << said;
        EXPECT_EQ(said, "") << component << " wrote outside its prefix";
    }
}

}  // namespace
