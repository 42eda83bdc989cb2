// Installed packages and common-service properties.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ConsoleUtil.h"
#include "HostCore.h"

namespace tvctl {
namespace {

const char* const PKG_SET_USAGE = "pkg set PKGID VERSION";
const char* const PKG_RM_USAGE = "pkg rm PKGID";
const char* const PKG_GET_USAGE = "pkg get PKGID";
const char* const PROP_SET_USAGE = "prop set NAME VALUE";
const char* const PROP_RM_USAGE = "prop rm NAME";

std::string PackagePath(const std::string& pkgId) {
    return tvhost::RootPath("packages/" + pkgId);
}

std::string PropertyPath(const std::string& name) {
    return tvhost::RootPath("config/properties/" + name);
}

// "" when `args` are one name (a package or property) followed by `more` arguments.
std::string NamedArgsProblem(const Args& args, const char* what,
                             const std::vector<std::string>& names) {
    std::string problem = WrongArgs(args, names);
    return problem.empty() ? NameProblem(what, args[0]) : problem;
}

int PkgSet(const Args& args) {
    std::string problem = NamedArgsProblem(args, "package id", {"PKGID", "VERSION"});
    if (problem.empty() && (args[1].empty() || args[1].find('\n') != std::string::npos))
        problem = "VERSION must be one line of text, got '" + args[1] + "'";
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    tvhost::MakeDirs(tvhost::RootPath("packages"));
    if (!tvhost::WriteFileAtomic(PackagePath(args[0]), args[1] + "\n"))
        return Fail(EXIT_FAILED, "cannot write packages/" + args[0]);
    printf("package %s at version %s\n", args[0].c_str(), args[1].c_str());
    return EXIT_DONE;
}

int PkgRm(const Args& args) {
    std::string problem = NamedArgsProblem(args, "package id", {"PKGID"});
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    if (unlink(PackagePath(args[0]).c_str()) != 0)
        return Fail(EXIT_FAILED, "package " + args[0] + " is not installed");
    printf("removed package %s\n", args[0].c_str());
    return EXIT_DONE;
}

int PkgGet(const Args& args) {
    std::string problem = NamedArgsProblem(args, "package id", {"PKGID"});
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    std::string text;
    if (!tvhost::ReadWholeFile(PackagePath(args[0]), &text))
        return Fail(EXIT_FAILED, "package " + args[0] + " is not installed");
    printf("%s\n", text.substr(0, text.find('\n')).c_str());
    return EXIT_DONE;
}

// The value is stored as given; the library drops one trailing line feed when reading.
int PropSet(const Args& args) {
    std::string problem = NamedArgsProblem(args, "property name", {"NAME", "VALUE"});
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    tvhost::MakeDirs(tvhost::RootPath("config/properties"));
    if (!tvhost::WriteFileAtomic(PropertyPath(args[0]), args[1]))
        return Fail(EXIT_FAILED, "cannot write config/properties/" + args[0]);
    printf("property %s = %s\n", args[0].c_str(), args[1].c_str());
    return EXIT_DONE;
}

int PropRm(const Args& args) {
    std::string problem = NamedArgsProblem(args, "property name", {"NAME"});
    if (!problem.empty())
        return BadUsage(problem);
    if (OnlyChecking())
        return EXIT_DONE;
    if (unlink(PropertyPath(args[0]).c_str()) != 0)
        return Fail(EXIT_FAILED, "property " + args[0] + " is not set");
    printf("removed property %s\n", args[0].c_str());
    return EXIT_DONE;
}

}  // namespace

TVCTL_COMMAND("pkg set", PKG_SET_USAGE, "install a package at a version", PkgSet);
TVCTL_COMMAND("pkg rm", PKG_RM_USAGE, "remove an installed package", PkgRm);
TVCTL_COMMAND("pkg get", PKG_GET_USAGE, "print the version of an installed package", PkgGet);
TVCTL_COMMAND("prop set", PROP_SET_USAGE, "set a common-service property", PropSet);
TVCTL_COMMAND("prop rm", PROP_RM_USAGE, "remove a common-service property", PropRm);

}  // namespace tvctl
