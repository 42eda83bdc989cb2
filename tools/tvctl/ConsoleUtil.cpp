#include "ConsoleUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>

#include "HostCore.h"

namespace tvctl {

namespace {
constexpr double MAX_SECONDS = 86400;
}  // namespace

int BadUsage(const std::string& what) {
    const Command* command = CurrentCommand();
    return Fail(EXIT_USAGE, (command ? command->name + ": " : std::string()) + what);
}

std::string WrongArgs(const Args& args, const std::vector<std::string>& names, size_t optional) {
    if (args.size() + optional < names.size())
        return names[args.size()] + " is missing";
    if (args.size() > names.size())
        return "unexpected argument '" + args[names.size()] + "'";
    return "";
}

int CheckArgs(const Args& args, const std::vector<std::string>& names, size_t optional) {
    std::string problem = WrongArgs(args, names, optional);
    return problem.empty() ? EXIT_DONE : BadUsage(problem);
}

std::string IntProblem(const std::string& name, const std::string& text, long long min,
                       long long max, int* value) {
    long long number = 0;
    if (tvhost::ParseDecimal(text, min, max, &number)) {
        *value = static_cast<int>(number);
        return "";
    }
    std::string range;
    if (max - min <= 3) {
        for (long long n = min; n <= max; ++n)
            range += (n == min ? "" : n == max ? " or " : ", ") + std::to_string(n);
    } else {
        range = "a decimal integer from " + std::to_string(min) + " to " + std::to_string(max);
    }
    return name + " must be " + range + ", got '" + text + "'";
}

std::string SecondsProblem(const std::string& name, const std::string& text, double* value) {
    // Digits with at most one '.', between digits: no sign, exponent, "inf" or "nan".
    size_t dot = text.find('.');
    bool plain = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                 (dot == std::string::npos || (dot > 0 && dot + 1 < text.size() &&
                                               text.find('.', dot + 1) == std::string::npos));
    double number = plain ? strtod(text.c_str(), nullptr) : -1;
    if (plain && number <= MAX_SECONDS) {
        *value = number;
        return "";
    }
    return name + " must be a decimal number of seconds from 0 to " +
           std::to_string(static_cast<int>(MAX_SECONDS)) + ", got '" + text + "'";
}

std::string NameProblem(const std::string& what, const std::string& name) {
    if (tvhost::PlainName(name))
        return "";
    return "bad " + what + " '" + name + "' (a file name: not empty, no '/', no leading '.')";
}

FileRead ReadRegularFile(const std::string& path, size_t maxBytes, std::string* content,
                         std::string* problem) {
    std::string why;
    content->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (problem)
            *problem = errno == ELOOP ? "a symbolic link, which is not followed" : strerror(errno);
        return errno == ENOENT ? FileRead::ABSENT : FileRead::NOT_READABLE;
    }
    struct stat st;
    bool fits = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<unsigned long long>(st.st_size) <= maxBytes;
    char buffer[16384];
    ssize_t n = 0;
    while (fits && (n = read(fd, buffer, sizeof buffer)) > 0) {
        content->append(buffer, static_cast<size_t>(n));
        fits = content->size() <= maxBytes;
    }
    if (n < 0)
        why = strerror(errno);
    close(fd);
    if (fits && n == 0)
        return FileRead::READ;
    if (problem)
        *problem = why.empty()
                       ? "not a regular file of at most " + std::to_string(maxBytes) + " bytes"
                       : why;
    return FileRead::NOT_READABLE;
}

void ReadNewLines(const std::string& path, long* offset,
                  const std::function<void(const std::string&)>& take) {
    FILE* file = fopen(path.c_str(), "rbe");
    if (!file)
        return;
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || st.st_size < *offset)
        *offset = 0;
    std::string text;
    if (fseek(file, *offset, SEEK_SET) == 0) {
        char buffer[16384];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
    }
    fclose(file);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        take(text.substr(start, end - start));
    *offset += static_cast<long>(start);
}

}  // namespace tvctl
