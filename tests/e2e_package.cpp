// The Debian package as an operator installs it, and the conditions that its
// systemd unit sets up: a user of its own without capabilities, a read-only
// system but for the state folder, and the table readable by other users.
#include "harness.h"

#include <sys/stat.h>

namespace {

const std::string kDeb = std::string("keyreg_") + KEYREG_VERSION + "_amd64.deb";

// Users for whom nothing in the process table or the files is set up: the
// service's own, a client's and a reader's.
const char kServiceUid[] = "65534";
const char kClientUid[] = "65533";
const char kReaderUid[] = "65532";

// Runs argv; its exit status, with all that it printed in text.
int run(const std::vector<std::string>& argv, std::string& text) {
    std::string out, err;
    int status = harness::runCommand(argv, &out, &err);
    text = out + err;
    return status;
}

std::vector<std::string> asUser(const char* uid, std::vector<std::string> argv) {
    std::vector<std::string> as = {"setpriv", std::string("--reuid=") + uid, std::string("--regid=") + uid,
                                   "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", "--no-new-privs"};
    as.insert(as.end(), argv.begin(), argv.end());
    return as;
}

class Package : public harness::ServerTest {
protected:
    // Makes the package in dir and unpacks it into dir/root, which others
    // may enter (the service runs as another user).
    void SetUp() override {
        ServerTest::SetUp();
        std::string out;
        ASSERT_EQ(run({"cpack", "-G", "DEB", "--config", KEYREG_BINARY_DIR "/CPackConfig.cmake", "-B", dir}, out), 0) << out;
        root = dir + "/root";
        ASSERT_EQ(run({"dpkg-deb", "-x", dir + "/" + kDeb, root}, out), 0) << out;
        ASSERT_EQ(chmod(dir.c_str(), 0755) | chmod(root.c_str(), 0755), 0);
    }

    std::string root;
};

TEST_F(Package, HoldsProgramsUnitUserAndDocsAndPassesLintian) {
    for (const char* path : {"/usr/sbin/keyreg-server", "/usr/bin/keyreg", "/lib/systemd/system/keyreg.service",
                             "/usr/lib/sysusers.d/keyreg.conf", "/var/lib/keyreg", "/usr/share/man/man1/keyreg.1.gz",
                             "/usr/share/man/man8/keyreg-server.8.gz", "/usr/share/doc/keyreg/copyright",
                             "/usr/share/doc/keyreg/changelog.gz", "/usr/share/doc/keyreg/SECURITY.md"}) {
        EXPECT_EQ(access((root + path).c_str(), F_OK), 0) << path << " is not in the package";
    }
    for (const char* program : {"/usr/sbin/keyreg-server", "/usr/bin/keyreg"}) {
        std::string out;
        EXPECT_EQ(run({root + program, "--help"}, out), 0) << program;
        EXPECT_NE(out.find("Usage:"), std::string::npos) << program << ": " << out;
    }
    std::string out;
    if (harness::runCommand({"lintian", "--version"}) == 0) {
        EXPECT_EQ(run({"lintian", dir + "/" + kDeb}, out), 0) << out;
    }
    // The unit names its programs where the package puts them.
    if (harness::runCommand({"systemd-analyze", "--version"}) == 0) {
        std::string verify = "mount --bind '" + root + "/usr/sbin' /usr/sbin && systemd-analyze verify --man=no '" +
                             root + "/lib/systemd/system/keyreg.service'";
        EXPECT_EQ(run({"unshare", "--mount", "sh", "-c", verify}, out), 0) << out;
        EXPECT_EQ(out, "") << "systemd-analyze verify";
    }
}

// What the unit asks of systemd, made by hand: everything read-only but the
// working folder, then the service's user with no capabilities, which makes
// its key pair there on first start and serves.
std::vector<std::string> lockedDown(const std::string& tool) {
    std::string script =
        "for m in $(awk '{print $2}' /proc/self/mounts | sort -u); do mount -o remount,ro,bind \"$m\"; done\n"
        "mount --bind \"$PWD\" \"$PWD\" && mount -o remount,rw,bind \"$PWD\" && cd \"$PWD\" || exit 99\n"
        "touch /var/lib/escaped 2>/dev/null && exit 98\n";
    for (const std::string& word : asUser(kServiceUid, {tool, "keygen", "--dir", "."})) script += "'" + word + "' ";
    script += "|| exit 97\nexec ";
    for (const std::string& word : asUser(kServiceUid, {})) script += "'" + word + "' ";
    return {"unshare", "--mount", "sh", "-c", script + "\"$@\"", "locked-down"};
}

TEST_F(Package, ServesAsItsOwnUserOnAReadOnlySystemForOtherUsersToRead) {
    std::string state = dir + "/state";
    ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
    ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
    server.program = root + "/usr/sbin/keyreg-server";
    ASSERT_TRUE(server.start(state, lockedDown(root + "/usr/bin/keyreg")));
    ASSERT_TRUE(server.waitReady()) << server.log();

    struct stat st;
    ASSERT_EQ(stat((state + "/private.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, 65534u);
    const std::string& id = harness::allowedIds()[0];
    std::string out;
    EXPECT_EQ(run(asUser(kClientUid, {root + "/usr/bin/keyreg", "register", id, "s3cret", "--pubkey",
                                      state + "/public.pem"}), out), 0) << out << server.log();
    run(asUser(kReaderUid, {root + "/usr/bin/keyreg", "table", "--show-keys"}), out);
    EXPECT_NE(out.find("s3cret"), std::string::npos) << "another user cannot read the table: " << out;
}

}  // namespace
