#include "ConsoleRunner.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "HostCore.h"

namespace tvctl {

namespace {
constexpr guint STOP_GRACE_MS = 2000;
}  // namespace

struct ConsoleRunner::Child {
    ConsoleRunner* runner = nullptr;
    unsigned id = 0;
    GSubprocess* process = nullptr;
    GDataInputStream* output = nullptr;
    GOutputStream* error = nullptr;  // a memory stream that standard error is spliced into
    GCancellable* cancel = nullptr;
    ConsoleResult result;
    Done done;
    Line onLine;
    int pending = 3;  // standard output read, standard error read, exit
};

ConsoleRunner::ConsoleRunner() {
    // The running binary, even if a rebuild has replaced the file since.
    m_self = "/proc/" + std::to_string(getpid()) + "/exe";
}

// A serving store ends only between two updates; one that is still playing is not waited for.
ConsoleRunner::~ConsoleRunner() {
    for (Child* child : m_children) {
        g_subprocess_send_signal(child->process, SIGTERM);
        g_cancellable_cancel(child->cancel);
    }
    guint grace = g_timeout_add(STOP_GRACE_MS, KillAll, this);
    // The cancelled reads and the reaping complete on the main context; nobody hears of them.
    while (!m_children.empty())
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(grace);
}

gboolean ConsoleRunner::KillAll(gpointer data) {
    for (Child* child : static_cast<ConsoleRunner*>(data)->m_children)
        g_subprocess_force_exit(child->process);
    return G_SOURCE_REMOVE;
}

unsigned ConsoleRunner::Run(const Args& args, Done done, Line onLine, bool input) {
    std::vector<const char*> argv = {m_self.c_str(), "--root", nullptr};
    std::string root = tvhost::DeviceRoot();
    argv[2] = root.c_str();
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    GError* error = nullptr;
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
        G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE |
        (input ? G_SUBPROCESS_FLAGS_STDIN_PIPE : 0)));
    // A screen that is killed takes its commands with it: a story stops the service it started.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
    GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    g_object_unref(launcher);
    if (!process) {
        ConsoleResult result;
        result.error = std::string("cannot start tvctl: ") + error->message;
        g_error_free(error);
        done(result);
        return 0;
    }
    auto* child = new Child();
    child->runner = this;
    child->id = ++m_lastId;
    child->process = process;
    child->done = std::move(done);
    child->onLine = std::move(onLine);
    child->cancel = g_cancellable_new();
    child->output = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
    child->error = g_memory_output_stream_new_resizable();
    m_children.push_back(child);

    g_data_input_stream_read_line_async(child->output, G_PRIORITY_DEFAULT, child->cancel,
                                        OnLineRead, child);
    g_output_stream_splice_async(child->error, g_subprocess_get_stderr_pipe(process),
                                 G_OUTPUT_STREAM_SPLICE_CLOSE_TARGET, G_PRIORITY_DEFAULT,
                                 child->cancel, OnErrorRead, child);
    g_subprocess_wait_async(process, nullptr, OnExited, child);
    return child->id;
}

ConsoleRunner::Child* ConsoleRunner::Find(unsigned id) const {
    for (Child* child : m_children) {
        if (child->id == id)
            return child;
    }
    return nullptr;
}

bool ConsoleRunner::Write(unsigned id, const std::string& text) {
    Child* child = Find(id);
    GOutputStream* input = child ? g_subprocess_get_stdin_pipe(child->process) : nullptr;
    return input &&
           g_output_stream_write_all(input, text.data(), text.size(), nullptr, nullptr, nullptr) &&
           g_output_stream_flush(input, nullptr, nullptr);
}

void ConsoleRunner::Stop(unsigned id) {
    if (Child* child = Find(id))
        g_subprocess_send_signal(child->process, SIGTERM);
}

void ConsoleRunner::OnLineRead(GObject*, GAsyncResult* result, gpointer data) {
    auto* child = static_cast<Child*>(data);
    gsize length = 0;
    char* line = g_data_input_stream_read_line_finish(child->output, result, &length, nullptr);
    if (!line)
        return Settle(child);  // end of output, or cancelled
    std::string text(line, length);
    g_free(line);
    child->result.output += text + "\n";
    if (child->onLine && !g_cancellable_is_cancelled(child->cancel))
        child->onLine(text);
    g_data_input_stream_read_line_async(child->output, G_PRIORITY_DEFAULT, child->cancel,
                                        OnLineRead, child);
}

void ConsoleRunner::OnErrorRead(GObject*, GAsyncResult* result, gpointer data) {
    auto* child = static_cast<Child*>(data);
    g_output_stream_splice_finish(child->error, result, nullptr);
    auto* memory = G_MEMORY_OUTPUT_STREAM(child->error);
    child->result.error.assign(static_cast<const char*>(g_memory_output_stream_get_data(memory)),
                               g_memory_output_stream_get_data_size(memory));
    Settle(child);
}

void ConsoleRunner::OnExited(GObject*, GAsyncResult* result, gpointer data) {
    auto* child = static_cast<Child*>(data);
    if (g_subprocess_wait_finish(child->process, result, nullptr) &&
        g_subprocess_get_if_exited(child->process))
        child->result.status = g_subprocess_get_exit_status(child->process);
    Settle(child);
}

// The result is whole once the command has exited and both of its outputs have ended.
void ConsoleRunner::Settle(Child* child) {
    if (--child->pending > 0)
        return;
    auto& children = child->runner->m_children;
    children.erase(std::find(children.begin(), children.end(), child));
    if (!g_cancellable_is_cancelled(child->cancel))
        child->done(child->result);
    g_object_unref(child->output);
    g_object_unref(child->error);
    g_object_unref(child->cancel);
    g_object_unref(child->process);
    delete child;
}

}  // namespace tvctl
