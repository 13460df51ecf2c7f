// The Debian package as an operator installs it, and the conditions that its
// systemd unit sets up: a user of its own without capabilities, a read-only
// system but for the state folder, and the table readable by other users.
#include "harness.h"

#include <sys/stat.h>

namespace {

std::string deb(const std::string& package) { return package + "_" + KEYREG_VERSION + "_amd64.deb"; }
const std::string kDeb = deb("keyreg");
const char kLibDir[] = "/usr/lib/x86_64-linux-gnu";

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
        // One cpack at a time: each brings the build folder up to date first.
        ASSERT_EQ(run({"flock", KEYREG_BINARY_DIR "/cpack.lock", "cpack", "-G", "DEB", "--config",
                       KEYREG_BINARY_DIR "/CPackConfig.cmake", "-B", dir}, out), 0) << out;
        root = dir + "/root";
        for (const char* package : {"keyreg", "libkeyreg1", "libkeyreg-dev"})
            ASSERT_EQ(run({"dpkg-deb", "-x", dir + "/" + deb(package), root}, out), 0) << out;
        ASSERT_EQ(chmod(dir.c_str(), 0755) | chmod(root.c_str(), 0755), 0);
    }

    std::string root;
};

TEST_F(Package, HoldsProgramsUnitUserAndDocsAndPassesLintian) {
    for (const char* path : {"/usr/sbin/keyreg-server", "/usr/bin/keyreg", "/lib/systemd/system/keyreg.service",
                             "/usr/lib/sysusers.d/keyreg.conf", "/etc/keyreg/allow-list", "/usr/share/man/man1/keyreg.1.gz",
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
    if (harness::runCommand({"lintian", "--version"}) != 0) KEYREG_SKIP("lintian is missing");
    for (const char* package : {"keyreg", "libkeyreg1", "libkeyreg-dev"}) {
        EXPECT_EQ(run({"lintian", dir + "/" + deb(package)}, out), 0) << out;
        EXPECT_EQ(out.find(": "), std::string::npos) << package << " has lintian tags:\n" << out;
    }
    // The unit names its programs where the package puts them.
    if (harness::runCommand({"systemd-analyze", "--version"}) != 0) KEYREG_SKIP("systemd-analyze is missing");
    std::string verify = "mount --bind '" + root + "/usr/sbin' /usr/sbin && systemd-analyze verify --man=no '" + root +
                         "/lib/systemd/system/keyreg.service'";
    EXPECT_EQ(run({"unshare", "--mount", "sh", "-c", verify}, out), 0) << out;
    EXPECT_EQ(out, "") << "systemd-analyze verify";
}

// The settings of the unit that keep the table and the keys safe, each with
// what breaks without it, and the unit's exposure as systemd scores it.
TEST(Unit, KeepsTheTableAndTheKeysSafe) {
    const std::string unit = harness::readFile(KEYREG_SOURCE_DIR "/packaging/keyreg.service");
    const struct {
        const char* line;
        const char* without;
    } rows[] = {
        {"\nUser=keyreg\n", "the server would run as root"},
        {"\nRemoveIPC=no\n", "the table would vanish whenever the service stops"},
        {"\nStandardOutput=null\n", "every key would be written to the journal"},
        {" --state /var/lib/keyreg/keys.state ", "a reboot would lose every registration"},
        {" --allow-list /etc/keyreg/allow-list ", "the administrator's allow list would be ignored"},
        {"\nExecReload=/bin/kill -HUP $MAINPID\n", "systemctl reload would not re-read the allow list"},
        {"\nRestartPreventExitStatus=65 77 78\n", "a bad state file, table or allow list: refused every 2 s"},
        {"\nProtectSystem=strict\n", "the server could write outside its state folder"},
        {"\nNoNewPrivileges=yes\n", "the server could gain privileges"},
    };
    for (const auto& row : rows) EXPECT_NE(unit.find(row.line), std::string::npos) << row.line << ": " << row.without;
    std::string out;
    if (harness::runCommand({"systemd-analyze", "--version"}) != 0) KEYREG_SKIP("systemd-analyze is missing");
    harness::runCommand({"systemd-analyze", "security", "--offline=true", KEYREG_SOURCE_DIR "/packaging/keyreg.service"},
                        &out);
    size_t at = out.find("Overall exposure level for keyreg.service: ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_LE(std::stod(out.substr(at + 43)), 2.0) << out.substr(at);
}

// dpkg runs the maintainer scripts for real in a throwaway root (an overlay
// over this system, in a mount namespace of the test's own): install,
// upgrade over itself, remove and purge; afterwards nothing that the package
// wrote is left but its user. Between this system and the overlay's own
// layer lies a unit that an earlier install by hand may have left on a
// host: only the upper layer, what dpkg and the scripts wrote, is judged.
TEST_F(Package, MaintainerScriptsInstallUpgradeRemoveAndPurge) {
    if (harness::runCommand({"sh", "-c", "grep -qw overlay /proc/filesystems"}) != 0)
        KEYREG_SKIP("the kernel has no overlay file system");
    const std::string script = R"SH(set -e
top=$1
mkdir -p $top/upper $top/work $top/root $top/earlier
# A file system of its own: overlayfs refuses a lower layer inside another.
mount -t tmpfs tmpfs $top/earlier
mkdir -p $top/earlier/usr/lib/systemd/system && echo '[Service]' >$top/earlier/usr/lib/systemd/system/keyreg.service
mount -t overlay overlay -o lowerdir=$top/earlier:/,upperdir=$top/upper,workdir=$top/work $top/root
for d in proc dev sys; do mount --rbind /$d $top/root/$d; done
mount -t tmpfs tmpfs $top/root/run
mount -t tmpfs tmpfs $top/root/tmp
cp $top/*.deb $top/root/tmp/
chrooted() { chroot $top/root sh -ec "$1"; }
fail() { echo "FAILED: $1"; exit 1; }
chrooted 'dpkg -i /tmp/keyreg_*.deb /tmp/libkeyreg1_*.deb /tmp/libkeyreg-dev_*.deb' >/dev/null
chrooted 'getent passwd keyreg' | grep -q ':/var/lib/keyreg:/usr/sbin/nologin$' || fail "no keyreg user with its home"
[ "$(chrooted 'stat -c %U:%a /var/lib/keyreg')" = keyreg:755 ] || fail "the state folder is not the user's"
[ -z "$(chrooted 'dpkg --verify keyreg libkeyreg1 libkeyreg-dev')" ] || fail "files differ from the packages'"
chrooted 'touch /var/lib/keyreg/keys.state && chown keyreg: /var/lib/keyreg/keys.state'
chrooted 'echo newcomer >>/etc/keyreg/allow-list'
uid=$(chrooted 'id -u keyreg')
chrooted 'dpkg -i /tmp/keyreg_*.deb' >/dev/null || fail "upgrade"
[ "$(chrooted 'id -u keyreg')" = "$uid" ] || fail "the upgrade made the user anew"
[ "$(chrooted 'stat -c %U /var/lib/keyreg/keys.state')" = keyreg ] || fail "the upgrade lost the registrations"
chrooted 'grep -qx newcomer /etc/keyreg/allow-list' || fail "the upgrade lost the edit of the allow list"
chrooted 'dpkg -r keyreg libkeyreg-dev libkeyreg1' >/dev/null || fail "remove"
chrooted 'test ! -e /usr/sbin/keyreg-server && test -f /var/lib/keyreg/keys.state' || fail "remove took data or left programs"
chrooted 'dpkg -P keyreg libkeyreg-dev libkeyreg1' >/dev/null || fail "purge"
# Character devices in the upper layer record what was deleted from below.
left=$(cd $top/upper && find . ! -type d ! -type c | grep -v -e '^./var/lib/dpkg/' -e '^./var/log/' -e '^./var/cache/' \
  -e '^./etc/\(passwd\|group\|shadow\|gshadow\)-\?$' -e '^./etc/\.pwd\.lock$' -e '^./etc/ld.so.cache$' || true)
[ -z "$left" ] || fail "purge left: $left"
echo done
)SH";
    std::string out;
    EXPECT_EQ(run({"unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", dir}, out), 0) << out;
    EXPECT_NE(out.find("done"), std::string::npos) << out;
}

// The library's runtime package holds the library under its soname, which
// exports the symbols of its symbols file and nothing else; the development
// package holds what programs are built with. The server's package has none
// of it.
TEST_F(Package, LibraryPackagesHoldTheLibraryAndWhatProgramsAreBuiltWith) {
    std::string lib = std::string(kLibDir) + "/libkeyreg.so";
    for (const std::string& path : {lib + ".1", lib, std::string(kLibDir) + "/pkgconfig/keyreg.pc",
                                    std::string(kLibDir) + "/cmake/keyreg/keyregConfig.cmake",
                                    std::string("/usr/include/keyreg/table.h")}) {
        EXPECT_EQ(access((root + path).c_str(), R_OK), 0) << path << " is not in the packages";
    }
    for (const std::string package : {"libkeyreg1", "libkeyreg-dev"}) {
        for (const char* doc : {"copyright", "changelog.gz"})
            EXPECT_EQ(access((root + "/usr/share/doc/" + package + "/" + doc).c_str(), R_OK), 0) << package << doc;
    }
    std::string exported, listed, out;
    const std::string names = " | sed 's/@.*//' | sort";
    ASSERT_EQ(run({"sh", "-c", "nm -D --defined-only '" + root + lib + ".1' | awk '{print $3}'" + names}, exported), 0);
    const std::string symbols = KEYREG_SOURCE_DIR "/packaging/debian/libkeyreg1/symbols";
    ASSERT_EQ(run({"sh", "-c", "tail -n +2 " + symbols + " | awk '{print $1}'" + names}, listed), 0);
    EXPECT_EQ(exported, listed);
    ASSERT_EQ(run({"dpkg-deb", "-c", dir + "/" + kDeb}, out), 0);
    EXPECT_EQ(out.find("keyreg.so"), std::string::npos) << out;
    EXPECT_EQ(out.find("include"), std::string::npos) << out;
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
    server.args = {"--state", state + "/keys.state"};
    ASSERT_TRUE(server.start(state, lockedDown(root + "/usr/bin/keyreg")));
    ASSERT_TRUE(server.waitReady()) << server.log();

    for (const char* secret : {"/private.pem", "/keys.state"}) {
        struct stat st;
        ASSERT_EQ(stat((state + secret).c_str(), &st), 0) << secret;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << secret;
        EXPECT_EQ(st.st_uid, 65534u) << secret;
    }
    const std::string& id = harness::allowedIds()[0];
    std::string out;
    EXPECT_EQ(run(asUser(kClientUid, {root + "/usr/bin/keyreg", "register", id, "s3cret", "--pubkey",
                                      state + "/public.pem"}), out), 0) << out << server.log();
    run(asUser(kReaderUid, {root + "/usr/bin/keyreg", "table", "--show-keys"}), out);
    EXPECT_NE(out.find("s3cret"), std::string::npos) << "another user cannot read the table: " << out;
    std::string message;
    ASSERT_EQ(harness::runCommand({root + "/usr/bin/keyreg", "encode", id, "s3cret", "hello"}, &message), 0);
    message.pop_back();
    run(asUser(kReaderUid, {root + "/usr/bin/keyreg", "decode", message}), out);
    EXPECT_EQ(out, "hello\n") << "another user cannot decode";
}

}  // namespace
