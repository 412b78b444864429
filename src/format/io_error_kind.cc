#include "format/io_error_kind.h"

namespace vesk {

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::ConnectionRefused: return "ConnectionRefused";
    case IoErrorKind::ConnectionReset: return "ConnectionReset";
    case IoErrorKind::HostUnreachable: return "HostUnreachable";
    case IoErrorKind::NetworkUnreachable: return "NetworkUnreachable";
    case IoErrorKind::ConnectionAborted: return "ConnectionAborted";
    case IoErrorKind::NotConnected: return "NotConnected";
    case IoErrorKind::AddrInUse: return "AddrInUse";
    case IoErrorKind::AddrNotAvailable: return "AddrNotAvailable";
    case IoErrorKind::NetworkDown: return "NetworkDown";
    case IoErrorKind::BrokenPipe: return "BrokenPipe";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::NotADirectory: return "NotADirectory";
    case IoErrorKind::IsADirectory: return "IsADirectory";
    case IoErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case IoErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
    case IoErrorKind::FilesystemLoop: return "FilesystemLoop";
    case IoErrorKind::StaleNetworkFileHandle: return "StaleNetworkFileHandle";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::WriteZero: return "WriteZero";
    case IoErrorKind::StorageFull: return "StorageFull";
    case IoErrorKind::NotSeekable: return "NotSeekable";
    case IoErrorKind::QuotaExceeded: return "QuotaExceeded";
    case IoErrorKind::FileTooLarge: return "FileTooLarge";
    case IoErrorKind::ResourceBusy: return "ResourceBusy";
    case IoErrorKind::ExecutableFileBusy: return "ExecutableFileBusy";
    case IoErrorKind::Deadlock: return "Deadlock";
    case IoErrorKind::CrossesDevices: return "CrossesDevices";
    case IoErrorKind::TooManyLinks: return "TooManyLinks";
    case IoErrorKind::InvalidFilename: return "InvalidFilename";
    case IoErrorKind::ArgumentListTooLong: return "ArgumentListTooLong";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::InProgress: return "InProgress";
    case IoErrorKind::Other: return "Other";
    case IoErrorKind::Uncategorized: return "Uncategorized";
  }
  return "Uncategorized";
}

}  // namespace vesk
