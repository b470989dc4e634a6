// The built program end to end: with standard input piped and no
// controlling terminal, and under a pseudo-terminal for the no-echo
// passphrase, the line editing and the overwrite dialogue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "zavArchiveWriter.h"
#include "qelTestEnv.h"

using namespace zavtest;
namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "Usage: zavreader [--version] [--overwrite] [--passphrase \"passphrase\"]\n"
    " [--no-gui] [<archive_file> [output_dir]]\n";

struct RunResult {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> childEnvironment(const std::string &home)
{
    std::vector<std::string> env = {"QELPATH=" + home, "HOME=" + home, "PATH=/usr/bin:/bin", "LC_ALL=C"};
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = std::getenv(name))
            env.push_back(std::string(name) + "=" + v);
    return env;
}

[[noreturn]] void execReader(const std::vector<std::string> &args, const std::string &home, const std::string &cwd)
{
    std::vector<std::string> argv = {QEL_ZAVREADER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> av;
    for (auto &a : argv)
        av.push_back(a.data());
    av.push_back(nullptr);
    std::vector<std::string> env = childEnvironment(home);
    std::vector<char *> ev;
    for (auto &e : env)
        ev.push_back(e.data());
    ev.push_back(nullptr);
    if (::chdir(cwd.c_str()) != 0)
        ::_exit(127);
    ::execve(av[0], av.data(), ev.data());
    ::_exit(127);
}

// Standard input from a pipe, in a new session: no controlling terminal, so
// the reader falls back to standard input for every answer.
RunResult runPiped(const std::vector<std::string> &args, const std::string &input, const std::string &home,
                   const std::string &cwd, rlim_t fileSizeLimit = RLIM_INFINITY, bool interruptIgnored = false)
{
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        if (fileSizeLimit != RLIM_INFINITY) {
            struct rlimit limit {fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        }
        if (interruptIgnored)
            ::signal(SIGINT, SIG_IGN);
        execReader(args, home, cwd);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        if (interruptIgnored) {
            // Interrupt while the passphrase is awaited.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(pid, SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::close(in[1]);
    });
    RunResult result;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 20000) <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    writer.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return result;
}

// The program on a pseudo-terminal that is its controlling terminal.
class PtySession {
public:
    PtySession(const std::vector<std::string> &args, const std::string &home, const std::string &cwd)
    {
        struct winsize size {24, 200, 0, 0};
        pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0)
            execReader(args, home, cwd);
    }
    ~PtySession()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            ::close(master_);
    }
    bool ok() const { return pid_ > 0 && master_ >= 0; }

    // Reads until the output holds the text and the line editor has put
    // the terminal in raw mode, so that nothing typed is flushed away.
    bool waitForPrompt(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pump(50);
            if (output_.find(text, consumed_) != std::string::npos) {
                struct termios t {};
                if (::tcgetattr(master_, &t) == 0 && (t.c_lflag & (ECHO | ICANON)) == 0) {
                    consumed_ = output_.find(text, consumed_) + text.size();
                    return true;
                }
            }
        }
        return false;
    }
    void type(const std::string &keys)
    {
        ssize_t n = ::write(master_, keys.data(), keys.size());
        EXPECT_EQ(n, static_cast<ssize_t>(keys.size()));
    }
    int finish()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pump(50);
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                pump(50);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            }
        }
        return -1;
    }
    const std::string &output() const { return output_; }
    int master() const { return master_; }

private:
    void pump(int timeoutMs)
    {
        struct pollfd fd {master_, POLLIN, 0};
        while (::poll(&fd, 1, timeoutMs) > 0) {
            char buffer[4096];
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            output_.append(buffer, static_cast<std::size_t>(n));
            timeoutMs = 0;
        }
    }
    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string output_;
    std::size_t consumed_ = 0;
};

class ReaderProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = tmp_.path();
        home_ = root_ + "/home";
        out_ = root_ + "/out";
        fs::create_directory(home_);
        fs::create_directory(out_);
        archive_ = root_ + "/a.zav";
        ASSERT_TRUE(writeFileBytes(archive_, buildArchive(entries())));
    }
    static std::vector<ArchiveEntry> entries()
    {
        return {{"dir/", true, ""}, {"dir/one.txt", false, "first file\n"}, {"two.bin", false, std::string(70000, '\7')}};
    }
    void expectExtracted(const std::string &dir)
    {
        EXPECT_EQ(readFileBytes(dir + "/dir/one.txt"), "first file\n");
        EXPECT_EQ(readFileBytes(dir + "/two.bin"), std::string(70000, '\7'));
    }
    RunResult piped(const std::vector<std::string> &args, const std::string &input = "",
                    rlim_t limit = RLIM_INFINITY)
    {
        return runPiped(args, input, home_, root_, limit);
    }

    qeltest::TempDir tmp_{"zavreader-e2e"};
    std::string root_, home_, out_, archive_;
};

TEST_F(ReaderProgram, ExitStatusesAndMessages)
{
    const std::string pass = "test passphrase";
    writeFileBytes(root_ + "/notarchive", std::string(100, 'x'));
    writeFileBytes(root_ + "/corrupt.zav", buildArchive(std::string(3000, '\x55')));
    writeFileBytes(root_ + "/climb.zav", buildArchive({{"ok.txt", false, "fine"}, {"../escape", false, "bad"}}));
    writeFileBytes(root_ + "/long.zav", buildArchive({{std::string(4090, 'l'), false, "x"}}));
    // Something of the user's that no rollback may touch.
    writeFileBytes(out_ + "/keep", "kept");
    writeFileBytes(root_ + "/short.zav", buildArchive({{"cut.bin", false, "abc", 100}}));
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        std::string err;
    };
    const Case cases[] = {
        {{"--version", "a", "b", "c"}, 0, ""},
        {{"--passphrase"}, 32, kUsage},
        {{"--passphrase", "-x", archive_}, 32, kUsage},
        {{"-v"}, 32, kUsage},
        {{"--bogus"}, 32, kUsage},
        {{archive_, out_, "third"}, 32, kUsage},
        {{std::string(4096, 'a')}, 32, kUsage},
        {{archive_, root_ + "/missing"}, 32, "Error: Specified output directory does not exist.\n"},
        {{"--passphrase", pass, root_ + "/none.zav", out_}, 36, "Unable to open file " + root_ + "/none.zav\n"},
        {{"--passphrase", pass, root_ + "/notarchive", out_}, 32,
         "File " + root_ + "/notarchive is not a valid SDA or EA file\n"},
        {{"--passphrase", "wrong", archive_, out_}, 20, "Error: Bad passphrase.\n"},
        {{"--passphrase", pass, root_ + "/corrupt.zav", out_}, 56, "Error decrypting file(s)\n"},
        {{"--passphrase", pass, root_ + "/short.zav", out_}, 56, "Error decrypting file(s)\n"},
        {{"--passphrase", pass, root_ + "/climb.zav", out_}, 37,
         "Error decoding file ../escape\nError decrypting file(s)\n"},
        {{"--passphrase", pass, root_ + "/long.zav", out_}, 34,
         "Error decoding file " + std::string(4090, 'l') + "\nError decrypting file(s)\n"},
        {{"--no-gui", "--pass", "x", "--passphrase", pass, archive_, out_}, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
        const RunResult r = piped(c.args);
        EXPECT_EQ(r.exitStatus, c.exitStatus);
        EXPECT_EQ(r.err, c.err);
        if (c.exitStatus != 0) {
            EXPECT_EQ(fs::exists(out_ + "/ok.txt"), false);
            EXPECT_FALSE(fs::exists(root_ + "/escape"));
        }
    }
    expectExtracted(out_);
}

TEST_F(ReaderProgram, VersionBanner)
{
    const RunResult r = piped({"--version"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.rfind("Quv Orlenta Server Archive Reader(TM)\n", 0), 0u);
    EXPECT_TRUE(r.out.ends_with("\nVersion : 9.0.0\n\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5);
    EXPECT_EQ(r.err, "");
}

TEST_F(ReaderProgram, PassphraseAndPathFromPipedInput)
{
    // No archive argument: the path is asked for, the output goes to the
    // working directory, and the passphrase takes three tries.
    const RunResult r = piped({}, archive_ + "\nwrong\nalso wrong\ntest passphrase\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "Enter name of encrypted archive : " + archive_ + "\n" +
                         "\nArchive is QEL secured.  Enter the passphrase: " +
                         "\nBad passphrase.  Re-enter the passphrase: " +
                         "\nBad passphrase.  Re-enter the passphrase: \n");
    expectExtracted(root_);

    const RunResult bad = piped({archive_, out_}, "a\nb\nc\nd\n");
    EXPECT_EQ(bad.exitStatus, 20);
    EXPECT_EQ(bad.out, "\nArchive is QEL secured.  Enter the passphrase: "
                       "\nBad passphrase.  Re-enter the passphrase: "
                       "\nBad passphrase.  Re-enter the passphrase: \n");
    EXPECT_EQ(bad.err, "Error: Bad passphrase.\n");

    const RunResult eof = piped({archive_, out_}, "unfinished");
    EXPECT_EQ(eof.exitStatus, 42);
    EXPECT_EQ(eof.err, "Error reading keyboard input.\n");
    const RunResult noPath = piped({}, "");
    EXPECT_EQ(noPath.exitStatus, 42);
    EXPECT_EQ(noPath.err, "Error reading keyboard input.\n");
}

TEST_F(ReaderProgram, InterruptIgnoredByTheParentStaysIgnored)
{
    const RunResult r = runPiped({archive_, out_}, "test passphrase\n", home_, root_, RLIM_INFINITY, true);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    expectExtracted(out_);
}

TEST_F(ReaderProgram, OverwriteDialogueOverPipedInput)
{
    const std::vector<std::string> args = {"--passphrase", "test passphrase", archive_, out_};
    ASSERT_EQ(piped(args).exitStatus, 0);
    writeFileBytes(out_ + "/dir/one.txt", "local edit");
    writeFileBytes(out_ + "/two.bin", "local two");

    // "y" replaces; Enter alone asks for a new name, relative to the
    // working directory.
    RunResult r = piped(args, "y\n\nrenamed.bin\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("File '" + out_ + "/dir/one.txt' already exists, do you want to overwrite it (y/N)? y\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("File '" + out_ + "/two.bin' already exists, do you want to overwrite it (y/N)? \n"
                         "\nEnter new file name : renamed.bin\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFileBytes(out_ + "/dir/one.txt"), "first file\n");
    EXPECT_EQ(readFileBytes(out_ + "/two.bin"), "local two");
    EXPECT_EQ(readFileBytes(root_ + "/renamed.bin"), std::string(70000, '\7'));

    // --overwrite asks nothing.
    r = piped({"--overwrite", "--passphrase", "test passphrase", archive_, out_});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    expectExtracted(out_);

    // The answer cannot be read: the run fails and rolls back what it made
    // (here the overwritten file, which it had truncated).
    r = piped(args, "");
    EXPECT_EQ(r.exitStatus, 42);
    EXPECT_EQ(r.err, "Error reading keyboard input.\nError decrypting file(s)\n");
}

TEST_F(ReaderProgram, FullDiskRollsBack)
{
    fs::remove(out_);
    fs::create_directory(out_);
    writeFileBytes(out_ + "/keep", "kept");
    const RunResult r = piped({"--passphrase", "test passphrase", archive_, out_}, "", 30000);
    EXPECT_EQ(r.exitStatus, 43);
    EXPECT_EQ(r.err, "Error decrypting file(s)\n");
    std::vector<std::string> left;
    for (auto &e : fs::recursive_directory_iterator(out_))
        left.push_back(fs::relative(e.path(), out_).string());
    EXPECT_EQ(left, std::vector<std::string>{"keep"});
}

TEST_F(ReaderProgram, FailedRunNeverRemovesAnExistingOutputDirectory)
{
    // Everything the run made goes again, but the directory it extracted
    // into was there before: given, or the working directory when none is.
    writeFileBytes(root_ + "/climb.zav", buildArchive({{"sub/", true, ""}, {"ok.txt", false, "fine"},
                                                       {"../escape", false, "bad"}}));
    const std::string cwd = root_ + "/cwd";
    fs::create_directory(cwd);
    struct Case {
        std::vector<std::string> args;
        std::string directory;
    };
    const Case cases[] = {
        {{"--passphrase", "test passphrase", root_ + "/climb.zav", out_}, out_},
        {{"--passphrase", "test passphrase", root_ + "/climb.zav"}, cwd},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.directory);
        ASSERT_TRUE(fs::is_empty(c.directory));
        const RunResult r = runPiped(c.args, "", home_, cwd);
        EXPECT_EQ(r.exitStatus, 37);
        EXPECT_EQ(r.err, "Error decoding file ../escape\nError decrypting file(s)\n");
        EXPECT_TRUE(fs::is_directory(c.directory));
        EXPECT_TRUE(fs::is_empty(c.directory));
        EXPECT_FALSE(fs::exists(root_ + "/escape"));
    }
}

TEST_F(ReaderProgram, TerminalPassphraseIsNotEchoedAndCanBeEdited)
{
    PtySession session({archive_, out_}, home_, root_);
    ASSERT_TRUE(session.ok());
    const std::string prompt = "\nArchive is QEL secured.  Enter the passphrase: ";
    ASSERT_TRUE(session.waitForPrompt(prompt)) << session.output();
    // Backspace on an empty line rings the bell; Ctrl-U kills the line;
    // DEL and BS erase one character each.
    session.type(std::string("\x7f") + "garbage\x15" + "test passphrasXY\x7f\x08" + "e\r");
    EXPECT_EQ(session.finish(), 0) << session.output();
    const std::string &out = session.output();
    EXPECT_EQ(out.find("garbage"), std::string::npos) << out;
    EXPECT_EQ(out.find("test pass"), std::string::npos) << out;
    EXPECT_NE(out.find('\r'), std::string::npos);
    expectExtracted(out_);
}

// Ctrl-D at the passphrase prompt cancels with a message, Ctrl-C stops the
// program; either way nothing is extracted and the terminal is restored.
TEST_F(ReaderProgram, TerminalCancelKeys)
{
    const struct {
        const char *keys;
        int exitStatus;
        const char *message;
    } cases[] = {
        {"abc\x04", 42, "Error reading keyboard input."},
        {"abc\x03", 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.exitStatus);
        PtySession session({archive_, out_}, home_, root_);
        ASSERT_TRUE(session.ok());
        ASSERT_TRUE(session.waitForPrompt("Enter the passphrase: "));
        session.type(c.keys);
        EXPECT_EQ(session.finish(), c.exitStatus);
        EXPECT_NE(session.output().find(c.message), std::string::npos);
        struct termios t {};
        if (::tcgetattr(session.master(), &t) == 0) {
            EXPECT_NE(t.c_lflag & ECHO, 0u);
            EXPECT_NE(t.c_lflag & ICANON, 0u);
        }
        EXPECT_FALSE(fs::exists(out_ + "/two.bin"));
    }
}

TEST_F(ReaderProgram, TerminalInterruptDuringExtraction)
{
    ASSERT_EQ(piped({"--passphrase", "test passphrase", archive_, out_}).exitStatus, 0);
    PtySession session({"--passphrase", "test passphrase", archive_, out_}, home_, root_);
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.waitForPrompt("already exists, do you want to overwrite it (y/N)? ")) << session.output();
    session.type("\x03");
    EXPECT_EQ(session.finish(), 1);
    struct termios t {};
    if (::tcgetattr(session.master(), &t) == 0) {
        EXPECT_NE(t.c_lflag & ECHO, 0u);
    }
    // Ended at once: nothing rolled back, nothing more written.
    EXPECT_EQ(readFileBytes(out_ + "/dir/one.txt"), "first file\n");
}

TEST_F(ReaderProgram, TerminalOverwriteAndRenameDialogue)
{
    ASSERT_EQ(piped({"--passphrase", "test passphrase", archive_, out_}).exitStatus, 0);
    writeFileBytes(out_ + "/two.bin", "local two");
    fs::remove(out_ + "/dir/one.txt");

    PtySession session({"--passphrase", "test passphrase", archive_, out_}, home_, root_);
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.waitForPrompt("File '" + out_ + "/two.bin' already exists, do you want to overwrite it (y/N)? "))
        << session.output();
    // One character fits; a second one rings the bell.
    session.type("nn");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    session.type("\r");
    ASSERT_TRUE(session.waitForPrompt("\nEnter new file name : ")) << session.output();
    session.type("typo\x7f\x7f\x7f\x7fkept.bin\r");
    EXPECT_EQ(session.finish(), 0) << session.output();
    const std::string &out = session.output();
    EXPECT_NE(out.find("n\a"), std::string::npos) << out;
    EXPECT_NE(out.find("typo\b \b\b \b\b \b\b \bkept.bin"), std::string::npos) << out;
    EXPECT_EQ(readFileBytes(out_ + "/two.bin"), "local two");
    EXPECT_EQ(readFileBytes(root_ + "/kept.bin"), std::string(70000, '\7'));
    EXPECT_EQ(readFileBytes(out_ + "/dir/one.txt"), "first file\n");
    // The terminal is back in its original mode.
    struct termios t {};
    if (::tcgetattr(session.master(), &t) == 0) {
        EXPECT_NE(t.c_lflag & ECHO, 0u);
        EXPECT_NE(t.c_lflag & ICANON, 0u);
    }
}

TEST_F(ReaderProgram, BundledExampleExtracts)
{
    const std::string example = std::string(QEL_SOURCE_DIR) + "/examples/example.zav";
    ASSERT_TRUE(fs::exists(example));
    const RunResult r =
        piped({"--overwrite", "--passphrase", "example passphrase", example, out_});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(fs::is_directory(out_ + "/docs"));
    EXPECT_EQ(readFileBytes(out_ + "/README.txt").substr(0, 9), "zavreader");
}

// Rewrites the bundled example; run with --gtest_also_run_disabled_tests.
TEST(ExampleArchive, DISABLED_Regenerate)
{
    ArchiveOptions options;
    options.passphrase = "example passphrase";
    options.salt = {0x5a, 0x41, 0x56, 0x20, 0x64, 0x65, 0x6d, 0x6f};
    options.hashCount = 1000;
    const std::vector<ArchiveEntry> entries = {
        {"docs/", true, ""},
        {"README.txt", false, "zavreader example archive.\nIt holds a directory and three small files.\n"},
        {"docs/notes.txt", false, "Extracted with: zavreader --passphrase \"example passphrase\" example.zav out\n"},
        {"docs/numbers.csv", false, "n,square\n1,1\n2,4\n3,9\n4,16\n5,25\n"},
    };
    ASSERT_TRUE(writeFileBytes(std::string(QEL_SOURCE_DIR) + "/examples/example.zav", buildArchive(entries, options)));
}

}  // namespace
