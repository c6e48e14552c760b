#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace quillmere {
namespace {

TEST(ErrorTest, KindFollowsErrno) {
  const std::pair<int, IoKind> table[] = {
      {ENOENT, IoKind::NotFound},          {EPERM, IoKind::PermissionDenied},
      {EACCES, IoKind::PermissionDenied},  {ECONNREFUSED, IoKind::ConnectionRefused},
      {ECONNRESET, IoKind::ConnectionReset}, {ECONNABORTED, IoKind::ConnectionAborted},
      {EPIPE, IoKind::BrokenPipe},         {EEXIST, IoKind::AlreadyExists},
      {EAGAIN, IoKind::WouldBlock},        {ENOTDIR, IoKind::NotADirectory},
      {EISDIR, IoKind::IsADirectory},      {ETIMEDOUT, IoKind::TimedOut},
      {EINTR, IoKind::Interrupted},        {ENOMEM, IoKind::OutOfMemory},
      {ENOSPC, IoKind::StorageFull},       {EIO, IoKind::Other},
  };
  for (auto [err, kind] : table) {
    Error e = Error::from_errno(err);
    EXPECT_TRUE(e.is_io());
    EXPECT_EQ(e.kind(), kind) << err;
    EXPECT_EQ(e.os_errno(), err);
  }
}

TEST(ErrorTest, TextsOfEachForm) {
  EXPECT_EQ(Error::from_errno(ENOENT).text(),
            std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(Error::io(IoKind::Other, "a spill stopped").text(), "a spill stopped");
  EXPECT_EQ(Error::io(IoKind::UnexpectedEof).text(), "unexpected end of file");
  EXPECT_EQ(Error::io(IoKind::Other).os_errno(), 0);
  EXPECT_EQ(Error::invalid("a key or value must be shorter than 4 GiB").text(),
            "a key or value must be shorter than 4 GiB");
  EXPECT_EQ(Error::lost().text(), "an earlier error lost records, so sorting cannot go on");
  EXPECT_EQ(Error::invalid("x").variant(), Error::Variant::Invalid);
  EXPECT_EQ(Error::lost().variant(), Error::Variant::Lost);
}

TEST(ErrorTest, PathWrappingKeepsTheKind) {
  Error e = Error::from_errno(ENOSPC).with_path("/tmp/q/run-000001");
  EXPECT_EQ(e.kind(), IoKind::StorageFull);
  EXPECT_EQ(e.os_errno(), 0);  // now a kind with a message
  EXPECT_EQ(e.text(), "/tmp/q/run-000001: " + Error::from_errno(ENOSPC).text());

  Error eof = Error::io(IoKind::UnexpectedEof).with_path("/r");
  EXPECT_EQ(eof.text(), "/r: unexpected end of file");
  Error reworded = std::move(eof).with_message("/r ended before its last record");
  EXPECT_EQ(reworded.kind(), IoKind::UnexpectedEof);
  EXPECT_EQ(reworded.text(), "/r ended before its last record");

  // Only I/O errors are about files.
  EXPECT_EQ(Error::lost().with_path("/r").text(), Error::lost().text());
  EXPECT_EQ(Error::invalid("m").with_message("n").text(), "m");
}

}  // namespace
}  // namespace quillmere
