// exec: runs a program with the adapter's bus as /dev/i2c-N. The link is opened once and
// served on a Unix socket in a private folder; the preload library turns the program's opens
// of the device into connections to it. exec says nothing of its own unless the link fails,
// and ends with the program's status.
#include "door.h"
#include "server.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The signals exec takes in its loop rather than by a handler: the stop signals, passed on to
// the program, and the program's end.
const int FORWARDED[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The preload library: beside the program in the build tree, else where it is installed.
std::string libraryPath() {
    char self[PATH_MAX];
    const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
    if (size <= 0)
        return {};
    self[size] = '\0';
    std::string folder(self);
    folder.erase(folder.rfind('/'));
    for (const std::string &candidate :
         {folder + "/../i2cdev/libtavro-i2cdev.so",
          folder + "/" TAVRO_I2CDEV_RELATIVE "/libtavro-i2cdev.so"}) {
        char resolved[PATH_MAX];
        if (realpath(candidate.c_str(), resolved))
            return resolved;
    }
    return {};
}

// The value of a list variable with the entry put first, unless it is already there.
std::string prepended(const char *name, const std::string &entry, char separator) {
    const char *old = std::getenv(name);
    if (old == nullptr || *old == '\0')
        return entry;
    const std::string list = std::string(1, separator) + old + separator;
    if (list.find(separator + entry + separator) != std::string::npos)
        return old;
    return entry + separator + old;
}

// The private folder and the socket in it; removed again by the destructor.
struct Folder {
    std::string path;
    ~Folder() { remove(); }
    void remove() {
        if (!path.empty()) {
            unlink((path + "/bus").c_str());
            rmdir(path.c_str());
            path.clear();
        }
    }
};

// Starts the program with the door in its environment; its pid, or -1 after saying why with
// status set as env(1) does (126 cannot run, 127 not found).
pid_t startProgram(const Options &options, const std::string &library, const std::string &door,
                   const sigset_t &mask, int &status) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "tavro-i2c: exec: %s\n", std::strerror(errno));
        status = EXIT_FAILED;
        return -1;
    }
    std::vector<char *> argv;
    for (const std::string &arg : options.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string preload = prepended("LD_PRELOAD", library, ' ');
    const std::string doors = prepended("TAVRO_I2CDEV", door, ':');
    const pid_t pid = fork();
    if (pid == 0) {
        // The program gets the signals as exec got them: default actions, nothing blocked.
        for (int signal : FORWARDED)
            std::signal(signal, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("TAVRO_I2CDEV", doors.c_str(), 1);
        execvp(argv[0], argv.data());
        const int error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    const bool failed = pid < 0 || read(report[0], &error, sizeof error) == sizeof error;
    close(report[0]);
    if (!failed)
        return pid;
    if (pid < 0)
        error = errno;
    else
        waitpid(pid, nullptr, 0);
    std::fprintf(stderr, "tavro-i2c: exec: cannot run %s: %s\n", argv[0], std::strerror(error));
    status = error == ENOENT ? 127 : 126;
    return -1;
}

// The program's end as exec's own: its exit status, or the signal that ended it, once more
// where a shell expects to see the signal itself.
[[noreturn]] void endAsProgram(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        const int signal = WTERMSIG(wait_status);
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP || signal == SIGPIPE ||
            signal == SIGKILL) {
            std::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            sigprocmask(SIG_UNBLOCK, &only, nullptr);
            raise(signal);
        }
        std::exit(128 + signal);
    }
    std::exit(WEXITSTATUS(wait_status));
}

// Opens the link again after a failure left it in doubt, as the link was opened first.
const Options *serving = nullptr;
bool reopen(TavroBus &bus) {
    int status = 0;
    return openBus(bus, *serving, status);
}

} // namespace

int runExec(const Options &options) {
    if (options.args.empty())
        return usageError("exec takes -- PROGRAM [ARGS...]");
    const std::string library = libraryPath();
    if (library.empty() || library.find_first_of(" :") != std::string::npos) {
        std::fprintf(stderr, "tavro-i2c: exec: libtavro-i2cdev.so is not installed beside "
                             "tavro-i2c (or its path holds a blank or a colon)\n");
        return EXIT_FAILED;
    }
    if (const int status = checkPort(options))
        return status;

    // The stop signals and the program's end come through a descriptor, so that they never
    // cut a transaction short; the link's waits keep them blocked.
    sigset_t taken, before;
    sigemptyset(&taken);
    for (int signal : FORWARDED)
        sigaddset(&taken, signal);
    sigaddset(&taken, SIGCHLD);
    sigprocmask(SIG_BLOCK, &taken, &before);
    const int signals = signalfd(-1, &taken, SFD_CLOEXEC | SFD_NONBLOCK);

    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;

    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
    if (base.find_first_of(":=") != std::string::npos)
        base = "/tmp";
    std::string pattern = base + "/tavro-i2c.XXXXXX";
    Folder folder;
    if (mkdtemp(pattern.data()))
        folder.path = pattern;
    serving = &options;
    i2cdev::Device device(bus, reopen);
    i2cdev::Server server(device);
    std::string error;
    if (folder.path.empty() || chmod(folder.path.c_str(), 0700) != 0 ||
        !server.listen(folder.path + "/bus", error)) {
        std::fprintf(stderr, "tavro-i2c: exec: %s\n",
                     error.empty() ? std::strerror(errno) : error.c_str());
        return closeBus(bus, options, EXIT_FAILED);
    }

    // A stop signal while the link was opening ends exec before the program starts.
    signalfd_siginfo info;
    if (read(signals, &info, sizeof info) == sizeof info) {
        server.shutDown();
        folder.remove();
        closeBus(bus, options, 0);
        return 128 + static_cast<int>(info.ssi_signo);
    }

    const pid_t child = startProgram(
        options, library, std::to_string(options.bus) + "=" + folder.path + "/bus", before, status);
    int wait_status = 0;
    if (child > 0) {
        bool ended = false;
        server.serve(signals, [&] {
            while (read(signals, &info, sizeof info) == sizeof info) {
                const int signal = static_cast<int>(info.ssi_signo);
                // What the terminal sends (Ctrl+C, Ctrl+\, a hang-up) reaches the program from
                // the terminal itself; a signal sent to exec alone is passed on.
                if (signal != SIGCHLD && info.ssi_code != SI_KERNEL)
                    kill(child, signal);
            }
            ended = waitpid(child, &wait_status, WNOHANG) == child;
            return !ended;
        });
        if (!ended) // the socket failed: the program is waited for without its bus
            waitpid(child, &wait_status, 0);
    }
    server.shutDown();
    folder.remove();
    const bool link_failed = !device.linkUp();
    if (bus.isOpen())
        status = closeBus(bus, options, status);
    if (child <= 0)
        return status;
    if (link_failed && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
        return EXIT_FAILED;
    endAsProgram(wait_status);
}
