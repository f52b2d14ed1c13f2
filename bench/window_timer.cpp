// bench_window_timer [--timeout SECONDS] TITLE -- PROGRAM [ARGS...]
//
// Starts PROGRAM, waits until a top-level window titled TITLE is mapped,
// asks it to close the way a window manager would (WM_DELETE_WINDOW) and
// waits for the process to end. Prints one JSON line: milliseconds from
// start to the window being mapped and to the process ending, the child's
// peak resident memory, its exit status and how it ended.
//
// Listening for the map event instead of polling with a window search keeps
// the timing at the X server's own resolution, the same for every program.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Titles
{
public:
    explicit Titles(Display *display)
        : m_display(display)
        , m_netWmName(XInternAtom(display, "_NET_WM_NAME", False))
        , m_utf8(XInternAtom(display, "UTF8_STRING", False))
    {
    }

    bool isTitleAtom(Atom atom) const { return atom == XA_WM_NAME || atom == m_netWmName; }

    bool has(Window window, std::string_view title) const
    {
        return netWmName(window) == title || wmName(window) == title;
    }

private:
    std::string netWmName(Window window) const
    {
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char *data = nullptr;
        std::string name;
        if (XGetWindowProperty(m_display, window, m_netWmName, 0, 1024, False, m_utf8, &type, &format,
                               &items, &after, &data)
                == Success
            && data) {
            if (type == m_utf8 && format == 8)
                name.assign(reinterpret_cast<const char *>(data), items);
            XFree(data);
        }
        return name;
    }

    std::string wmName(Window window) const
    {
        char *raw = nullptr;
        std::string name;
        if (XFetchName(m_display, window, &raw) && raw) {
            name = raw;
            XFree(raw);
        }
        return name;
    }

    Display *m_display;
    Atom m_netWmName;
    Atom m_utf8;
};

// A window that goes away between an event and our question about it must
// not end the measurement.
int ignoreXErrors(Display *, XErrorEvent *)
{
    return 0;
}

struct Options
{
    double timeoutSeconds = 30.0;
    std::string title;
    std::vector<char *> command;
};

std::optional<Options> parse(int argc, char **argv)
{
    Options options;
    int i = 1;
    if (i + 1 < argc && std::string_view(argv[i]) == "--timeout") {
        options.timeoutSeconds = std::atof(argv[i + 1]);
        i += 2;
    }
    if (i + 2 >= argc || std::string_view(argv[i + 1]) != "--" || options.timeoutSeconds <= 0)
        return std::nullopt;
    options.title = argv[i];
    for (i += 2; i < argc; ++i)
        options.command.push_back(argv[i]);
    options.command.push_back(nullptr);
    return options;
}

struct Ending
{
    int status = 0;
    rusage usage{};
    const char *how = "close";
};

// Waits up to grace for the child; true with its status once it has ended.
bool reap(pid_t child, std::chrono::duration<double> grace, Ending &ending)
{
    const auto deadline = Clock::now() + grace;
    for (;;) {
        const pid_t done = wait4(child, &ending.status, WNOHANG, &ending.usage);
        if (done == child)
            return true;
        if (done < 0 || Clock::now() >= deadline)
            return false;
        const timespec pause{0, 200'000};
        nanosleep(&pause, nullptr);
    }
}

Ending end(pid_t child, bool closeSent)
{
    using namespace std::chrono_literals;
    Ending ending;
    if (closeSent && reap(child, 10s, ending))
        return ending;
    ending.how = "sigterm";
    kill(child, SIGTERM);
    if (reap(child, 5s, ending))
        return ending;
    ending.how = "sigkill";
    kill(child, SIGKILL);
    reap(child, 5s, ending);
    return ending;
}

void sendClose(Display *display, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

} // namespace

int main(int argc, char **argv)
{
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: %s [--timeout SECONDS] TITLE -- PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "%s: cannot open the X display\n", argv[0]);
        return 1;
    }
    XSetErrorHandler(ignoreXErrors);
    fcntl(XConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    const Titles titles(display);
    const Window root = XDefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execvp(options->command[0], options->command.data());
        std::perror(options->command[0]);
        _exit(127);
    }

    const auto deadline = start + std::chrono::duration<double>(options->timeoutSeconds);
    std::vector<Window> mapped;
    Window shown = None;
    double shownMs = -1;
    bool ended = false;
    while (shown == None && !ended && Clock::now() < deadline) {
        pollfd xfd{XConnectionNumber(display), POLLIN, 0};
        if (XPending(display) == 0)
            poll(&xfd, 1, 5);
        while (shown == None && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            Window candidate = None;
            if (event.type == CreateNotify && event.xcreatewindow.parent == root) {
                // A title set after mapping arrives as a property change.
                XSelectInput(display, event.xcreatewindow.window, PropertyChangeMask);
            } else if (event.type == MapNotify && event.xmap.event == root) {
                mapped.push_back(event.xmap.window);
                candidate = event.xmap.window;
            } else if (event.type == PropertyNotify && titles.isTitleAtom(event.xproperty.atom)) {
                for (const Window window : mapped)
                    if (window == event.xproperty.window)
                        candidate = window;
            }
            if (candidate != None && titles.has(candidate, options->title)) {
                shownMs = millisecondsSince(start);
                shown = candidate;
            }
        }
        siginfo_t info{};
        if (shown == None && waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0
            && info.si_pid == child)
            ended = true; // it gave up before showing anything, e.g. with a message box closed by itself
    }

    if (shown != None)
        sendClose(display, shown);
    const Ending ending = end(child, shown != None);
    const double exitMs = millisecondsSince(start);
    XCloseDisplay(display);

    const int status = WIFEXITED(ending.status) ? WEXITSTATUS(ending.status) : 128 + WTERMSIG(ending.status);
    std::printf("{\"shown_ms\": %.3f, \"exit_ms\": %.3f, \"maxrss_kb\": %ld, \"status\": %d, \"ended_by\": \"%s\"}\n",
                shownMs, exitMs, ending.usage.ru_maxrss, status, shown != None ? ending.how : "never shown");
    return shown != None ? 0 : 1;
}
