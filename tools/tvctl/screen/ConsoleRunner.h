// The page's actions run as console commands: this same tvctl as a child process on the same
// device root, so that a click does exactly what the command typed in a terminal does.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>
#include <vector>

#include "Commands.h"

namespace tvctl {

struct ConsoleResult {
    int status = EXIT_FAILED;  // the command's exit status; EXIT_FAILED when it did not exit
    std::string output;        // standard output
    std::string error;         // standard error
};

class ConsoleRunner {
  public:
    using Done = std::function<void(const ConsoleResult& result)>;
    using Line = std::function<void(const std::string& line)>;

    ConsoleRunner();
    // Ends (SIGTERM) and reaps the commands still running.
    ~ConsoleRunner();
    ConsoleRunner(const ConsoleRunner&) = delete;
    ConsoleRunner& operator=(const ConsoleRunner&) = delete;

    // `tvctl --root ROOT ARGS...`. `onLine` gets each line of standard output as it comes (for
    // commands that keep running); `done` gets the whole result once the command has exited.
    // Both run on the main loop. With `input`, its standard input is a pipe that Write feeds.
    // The command's id, for Write and Stop; 0 when it did not start (`done` has been told).
    unsigned Run(const Args& args, Done done, Line onLine = nullptr, bool input = false);
    // False when the command has ended or takes no input.
    bool Write(unsigned id, const std::string& text);
    // SIGTERM, when the command still runs.
    void Stop(unsigned id);

  private:
    struct Child;
    static void OnLineRead(GObject* source, GAsyncResult* result, gpointer data);
    static void OnErrorRead(GObject* source, GAsyncResult* result, gpointer data);
    static void OnExited(GObject* source, GAsyncResult* result, gpointer data);
    static void Settle(Child* child);
    static gboolean KillAll(gpointer self);

    Child* Find(unsigned id) const;

    std::string m_self;
    std::vector<Child*> m_children;
    unsigned m_lastId = 0;
};

}  // namespace tvctl
