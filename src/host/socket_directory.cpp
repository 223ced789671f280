#include "host/socket_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/control_protocol.h"
#include "platform/error_text.h"

namespace host {

namespace {

using plat::setError;

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

bool prepareSocketDirectory(const std::string& socketPath, std::string* error) {
    const size_t slash = socketPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : socketPath.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return setError(error, "cannot make " + dir + ": " + std::strerror(errno));

    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return setError(error, "cannot examine " + dir + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return setError(error, "the socket directory " + dir + " is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return setError(error, dir + " is not a directory");
    if (dir == protocol::privateSocketDirectory()) {
        if (st.st_uid != geteuid() || (st.st_mode & 077) != 0)
            return setError(error, "the socket directory " + dir + " is not private to the user (owner " +
                                     std::to_string(st.st_uid) + ", mode " + modeText(st.st_mode) + ")");
        return true;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return setError(error,
                      "the socket directory " + dir + " belongs to another user (" + std::to_string(st.st_uid) + ")");
    if ((st.st_mode & 022) != 0)
        return setError(error, "the socket directory " + dir + " is writable by group or others (mode " +
                                 modeText(st.st_mode) + ")");
    return true;
}

}  // namespace host
