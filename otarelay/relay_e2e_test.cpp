// Runs the real otarelay on its fixed paths. A private mount namespace with
// scratch tmpfs mounts on /tmp and /dev/by-name keeps the host untouched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char *const kByName = "/dev/by-name";

// Shell helpers every case starts with; $1 is the scratch directory.
const char *const kPrelude = R"sh(
S="$1"
if [ ! -d /dev/by-name ]; then
    # Not root outside, so no /dev/by-name on the host: a private /dev
    # with the nodes the cases use.
    mkdir "$S/dev" && mount -t tmpfs tmpfs "$S/dev" && mkdir "$S/dev/by-name" || exit 77
    for n in null zero; do
        : > "$S/dev/$n" && mount --bind "/dev/$n" "$S/dev/$n" || exit 77
    done
    mount --rbind "$S/dev" /dev || exit 77
fi
mount -t tmpfs tmpfs /tmp || exit 77
mount -t tmpfs tmpfs /dev/by-name || exit 77
umask 022
record() {
    { printf '%s' "$1"; head -c $((96 - ${#1})) /dev/zero; } > /dev/by-name/misc.new &&
        mv /dev/by-name/misc.new /dev/by-name/misc
}
wait_for() {
    i=0
    while ! eval "$1"; do
        i=$((i + 1)); [ $i -gt 400 ] && return 1
        sleep 0.05
    done
}
relay() { timeout 60 "$S/otarelay" > "$S/out" 2> "$S/err"; echo $? > "$S/status"; }
)sh";

class RelayE2E : public ::testing::Test {
protected:
    int lockFd = -1;
    bool createdByName = false;
    std::string unshare;
    fs::path scratch;

    void SetUp() override {
        // Other users become root in a user namespace of their own.
        unshare = geteuid() == 0 ? "unshare -m --propagation private "
                                 : "unshare -r -m --propagation private ";
        if (std::system((unshare + "true >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << "cannot enter a private mount namespace: " << unshare << "failed";
        if (geteuid() == 0) {
            // Cases share /dev/by-name on the host: one at a time, so the one that
            // created it can remove it without pulling it from under another.
            lockFd = open("/var/tmp/otarelay-e2e.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(lockFd, 0);
            ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
            if (mkdir(kByName, 0755) == 0)
                createdByName = true;
            else
                ASSERT_EQ(errno, EEXIST);
        }
        // The build tree may sit under /tmp, which the cases mount over.
        char tmpl[] = "/var/tmp/otarelay-e2e.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        scratch = tmpl;
        fs::copy_file(OTARELAY_BIN, scratch / "otarelay");
        fs::permissions(scratch / "otarelay", fs::perms::owner_all);
    }
    void TearDown() override {
        if (!scratch.empty()) fs::remove_all(scratch);
        if (createdByName) rmdir(kByName);
        if (lockFd >= 0) close(lockFd);
    }
    // Runs one case in its own mount namespace; skips when mounting is refused.
    void run(const std::string &body) {
        std::ofstream(scratch / "case.sh") << kPrelude << body;
        std::string cmd =
            unshare + "sh '" + (scratch / "case.sh").string() + "' '" + scratch.string() + "'";
        int rc = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(rc));
        if (WEXITSTATUS(rc) == 77) GTEST_SKIP() << "tmpfs cannot be mounted in the namespace";
        ASSERT_EQ(WEXITSTATUS(rc), 0) << "case script failed";
    }
    std::string file(const char *name) {
        std::ifstream in(scratch / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int status() { return std::atoi(file("status").c_str()); }
};

std::string msg(const char *text) { return std::string(text, 7); }

}  // namespace

TEST_F(RelayE2E, FifoReaderGetsFullProgressWhenEndIsThere) {
    run(R"sh(
record upgrade_end
mkfifo /tmp/ota_progress
cat /tmp/ota_progress > "$S/recv" &
relay
wait
)sh");
    EXPECT_EQ(status(), 0) << file("err");
    EXPECT_EQ(file("recv"), msg(" 1.000"));
    std::string out = file("out");
    EXPECT_EQ(out.rfind("I am ", 0), 0u) << out;
    EXPECT_NE(out.find(" process.\nNow the progress status:upgrade_end \nSend message:  1.000\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(file("err"), "");
}

TEST_F(RelayE2E, FifoReaderFollowsStageChange) {
    run(R"sh(
record upgrade_post
mkfifo /tmp/ota_progress
cat /tmp/ota_progress > "$S/recv" &
relay &
wait_for '[ "$(wc -c < "$S/recv")" -ge 7 ]'
record upgrade_end
wait
)sh");
    EXPECT_EQ(status(), 0) << file("err");
    std::string recv = file("recv");
    ASSERT_GE(recv.size(), 14u);
    EXPECT_EQ(recv.size() % 7, 0u);
    EXPECT_EQ(recv.substr(0, 7), msg(" 0.700"));
    EXPECT_EQ(recv.substr(recv.size() - 7), msg(" 1.000"));
    EXPECT_NE(file("out").find("Now the progress status:upgrade_post \nSend message:  0.700\n"),
              std::string::npos);
}

TEST_F(RelayE2E, MissingFifoBecomesFileWithLatestMessage) {
    run(R"sh(
record boot-recovery
relay &
wait_for '[ -s /tmp/ota_progress ]'
record upgrade_end
wait
cp /tmp/ota_progress "$S/progress"
stat -c %F:%a /tmp/ota_progress > "$S/kind"
)sh");
    EXPECT_EQ(status(), 0) << file("err");
    EXPECT_EQ(file("progress"), msg(" 1.000"));
    EXPECT_EQ(file("kind"), "regular file:644\n");
    EXPECT_NE(file("out").find("Send message:  0.300\n"), std::string::npos);
}

TEST_F(RelayE2E, ReaderClosingEndsWithStatusOne) {
    run(R"sh(
mkfifo /tmp/ota_progress
head -c 7 /tmp/ota_progress > "$S/recv" &
relay
wait
)sh");
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(file("recv"), msg(" 0.005"));
    EXPECT_EQ(file("err"), "Write FIFO Failed: Broken pipe\n");
    EXPECT_NE(file("out").find("Open /dev/by-name/misc Failed \nNow the progress status: \n"),
              std::string::npos);
}

// Another local user prepares the output path. Only a pipe (anyone's) or a
// file of the relay's own user with no other name may receive progress.
TEST_F(RelayE2E, OutputPlantedByAnotherUserIsRefused) {
    if (std::system("setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot switch to the user nobody";
    run(R"sh(
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
try() {
    name=$1; shift
    rm -f /tmp/ota_progress; "$@"; relay
    cp "$S/status" "$S/status.$name"; cp "$S/err" "$S/err.$name"
}
record upgrade_end
printf secret > /tmp/victim
try link as_nobody ln -s /tmp/victim /tmp/ota_progress
try dangling as_nobody ln -s /tmp/created /tmp/ota_progress
try foreign as_nobody touch /tmp/ota_progress
try hardlink ln /tmp/victim /tmp/ota_progress
cat /tmp/victim > "$S/victim"
[ -e /tmp/created ] && echo created > "$S/created"
rm -f /tmp/ota_progress
as_nobody mkfifo /tmp/ota_progress
as_nobody cat /tmp/ota_progress > "$S/recv" &
relay
wait
)sh");
    const std::string symlinkRefused = std::string("Open FIFO Failed: ") + strerror(ELOOP) + "\n";
    const std::string notOurs = std::string("Open FIFO Failed: ") + strerror(EPERM) + "\n";
    for (const char *name : {"link", "dangling"}) {
        EXPECT_EQ(file((std::string("status.") + name).c_str()), "1\n") << name;
        EXPECT_EQ(file((std::string("err.") + name).c_str()), symlinkRefused) << name;
    }
    for (const char *name : {"foreign", "hardlink"}) {
        EXPECT_EQ(file((std::string("status.") + name).c_str()), "1\n") << name;
        EXPECT_EQ(file((std::string("err.") + name).c_str()), notOurs) << name;
    }
    EXPECT_EQ(file("victim"), "secret");
    EXPECT_EQ(file("created"), "");
    EXPECT_EQ(status(), 0) << file("err");
    EXPECT_EQ(file("recv"), msg(" 1.000"));
}
