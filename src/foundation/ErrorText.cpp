#include "foundation/ErrorText.h"

#include <cerrno>
#include <utility>

#include "foundation/StrFormat.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {
namespace {

// First match wins.
constexpr std::pair<int, const char*> kErrors[] = {
    {AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
    {AVERROR_BUG, "Internal bug, should not have happened"},
    {AVERROR_BUG2, "Internal bug, should not have happened"},
    {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
    {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
    {AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
    {AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_EXIT, "Immediate exit requested"},
    {AVERROR_EXTERNAL, "Generic error in an external library"},
    {AVERROR_FILTER_NOT_FOUND, "Filter not found"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
    {AVERROR_OPTION_NOT_FOUND, "Option not found"},
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg, patches welcome"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
    {AVERROR_STREAM_NOT_FOUND, "Stream not found"},
    {AVERROR_UNKNOWN, "Unknown error occurred"},
    {AVERROR_EXPERIMENTAL,
     "Requested feature is flagged experimental. Set strict_std_compliance if you really want to "
     "use it."},
    {AVERROR_INPUT_CHANGED,
     "Input changed between calls. Reconfiguration is required. (can be OR-ed with "
     "AVERROR_OUTPUT_CHANGED)"},
    {AVERROR_OUTPUT_CHANGED,
     "Output changed between calls. Reconfiguration is required. (can be OR-ed with "
     "AVERROR_INPUT_CHANGED)"},
    {AVERROR_HTTP_BAD_REQUEST, "HTTP or RTSP error: bad request(400)"},
    {AVERROR_HTTP_UNAUTHORIZED, "HTTP or RTSP error: unauthorized(401)"},
    {AVERROR_HTTP_FORBIDDEN, "HTTP or RTSP error: forbidden(403)"},
    {AVERROR_HTTP_NOT_FOUND, "HTTP or RTSP error: not found(404)"},
    {AVERROR_HTTP_OTHER_4XX, "HTTP or RTSP error: other error(4xx)"},
    {AVERROR_HTTP_SERVER_ERROR, "HTTP or RTSP error: server error(5xx)"},
    {AVERROR(ENOENT), "No such file or directory"},
    {AVERROR(ESRCH), "No such process"},
    {AVERROR(EINTR), "Interrupted function call"},
    {AVERROR(EIO), "I/O error"},
    {AVERROR(ENXIO), "No such device or address"},
    {AVERROR(E2BIG), "Argument list too long"},
    {AVERROR(ENOEXEC), "Exec format error"},
    {AVERROR(EBADF), "Bad file number"},
    {AVERROR(ECHILD), "No child processes"},
    {AVERROR(EAGAIN), "Resource temporarily unavailable / Try again"},
    {AVERROR(ENOMEM), "Not enough space / Out of memory"},
    {AVERROR(EACCES), "Permission denied"},
    {AVERROR(EFAULT), "Bad address"},
    {AVERROR(EBUSY), "Device or resource busy"},
    {AVERROR(EEXIST), "File exists"},
    {AVERROR(EXDEV), "Cross-device link"},
    {AVERROR(ENODEV), "No such device"},
    {AVERROR(ENOTDIR), "Not a directory"},
    {AVERROR(EISDIR), "Is a directory"},
    {AVERROR(EINVAL), "Invalid argument / Invalid data found when processing input"},
    {AVERROR(ENFILE), "Too many open files in system / File table overflow"},
    {AVERROR(EMFILE), "Too many open files"},
    {AVERROR(ENOTTY), "Inappropriate I/O control operation / Not a typewriter"},
    {AVERROR(EFBIG), "File too large"},
    {AVERROR(ENOSPC), "No space left on device"},
    {AVERROR(ESPIPE), "Illegal seek"},
    {AVERROR(EROFS), "Read-only file system"},
    {AVERROR(EMLINK), "Too many links"},
    {AVERROR(EPIPE), "Broken pipe"},
    {AVERROR(EDOM), "Math argument out of domain of func"},
    {AVERROR(ERANGE), "Math result not representable"},
    {AVERROR(EDEADLK), "Resource deadlock avoided"},
    {AVERROR(ENAMETOOLONG), "File name too long"},
    {AVERROR(ENOLCK), "No locks available"},
    {AVERROR(ENOSYS), "Function not implemented"},
    {AVERROR(ENOTEMPTY), "Directory not empty"},
    {AVERROR(ELOOP), "Too many symbolic links encountered"},
    {AVERROR(EPROTO), "Protocol error"},
    {AVERROR(EOVERFLOW), "Value too large for defined data type"},
    {AVERROR(EILSEQ), "Illegal byte sequence"},
    {AVERROR(ENOTSOCK), "Socket operation on non-socket"},
    {AVERROR(EDESTADDRREQ), "Destination address required"},
    {AVERROR(EMSGSIZE), "Message too long"},
    {AVERROR(EPROTOTYPE), "Protocol wrong type for socket"},
    {AVERROR(ENOPROTOOPT), "Protocol not available"},
    {AVERROR(EPROTONOSUPPORT), "Protocol not supported"},
    {AVERROR(EOPNOTSUPP), "Operation not supported on transport endpoint"},
    {AVERROR(EAFNOSUPPORT), "Address family not supported by protocol"},
    {AVERROR(EADDRINUSE), "Address already in use"},
    {AVERROR(EADDRNOTAVAIL), "Cannot assign requested address"},
    {AVERROR(ENETDOWN), "Network is down"},
    {AVERROR(ENETUNREACH), "Network is unreachable"},
    {AVERROR(ENETRESET), "Network dropped connection because of reset"},
    {AVERROR(ECONNABORTED), "Software caused connection abort"},
    {AVERROR(ECONNRESET), "Connection reset by peer"},
    {AVERROR(ENOBUFS), "No buffer space available"},
    {AVERROR(EISCONN), "Transport endpoint is already connected"},
    {AVERROR(ENOTCONN), "Transport endpoint is not connected"},
    {AVERROR(ESHUTDOWN), "Cannot send after transport endpoint shutdown"},
    {AVERROR(ETOOMANYREFS), "Too many references: cannot splice"},
    {AVERROR(ETIMEDOUT), "Connection timed out"},
    {AVERROR(ECONNREFUSED), "Connection refused"},
    {AVERROR(EHOSTDOWN), "Host is down"},
    {AVERROR(EHOSTUNREACH), "No route to host"},
    {AVERROR(EALREADY), "Operation already in progress"},
    {AVERROR(EINPROGRESS), "Operation now in progress"},
    {AVERROR(ESTALE), "Stale NFS file handle"},
    {AVERROR(EDQUOT), "Quota exceeded"},
    {AVERROR(EUSERS), "Too many users"},
    {AVERROR(EREMOTE), "Too many levels of remote in path"},
    {AVERROR(ESOCKTNOSUPPORT), "Socket type not supported"},
    {AVERROR(EPFNOSUPPORT), "Protocol family not supported"},
    {AVERROR(ECANCELED), "Operation Canceled"},
    {AVERROR(EOWNERDEAD), "Owner died"},
    {AVERROR(ENOTRECOVERABLE), "State not recoverable"},
};

}  // namespace

std::string error_text(int code) {
  for (const auto& [c, text] : kErrors)
    if (c == code) return text;
  return strprintf("Error number %d occurred", code);
}

std::string error_text(const std::string& prefix, int code) {
  return prefix.empty() ? error_text(code) : prefix + ": " + error_text(code);
}

std::string& last_error_text() {
  thread_local std::string text;
  return text;
}

void append_last_error(const std::string& text) {
  std::string& last = last_error_text();
  if (!last.empty()) last += "\r\n";
  last += text;
}

}  // namespace corvane
