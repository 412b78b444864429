// The checks that decide whether a response's body is the bytes asked for.
#include "remote/range_response.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

ResponseHead head_of(std::initializer_list<const char*> lines) {
  ResponseHead h;
  for (const char* l : lines) h.take_line(l);
  return h;
}

TEST(ResponseHead, StatusLineStartsOverAndNamesAreCaseBlind) {
  auto h = head_of({"HTTP/1.1 301 Moved\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 206 Partial Content\r\n",
                    "content-range: bytes 0-9/100\r\n", "CONTENT-LENGTH: 10\r\n", "Etag:  \"e\" \r\n"});
  EXPECT_EQ(h.status, 206);
  EXPECT_EQ(h.content_range, "bytes 0-9/100");
  EXPECT_EQ(h.content_length, 10u);
  EXPECT_EQ(h.etag, "\"e\"");
}

TEST(ContentRange, ParsesRangesAndRefusesNonsense) {
  auto r = parse_content_range("bytes 5-9/10");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r->first, 5u);
  EXPECT_EQ(*r->last, 9u);
  EXPECT_EQ(r->total, 10u);
  EXPECT_FALSE(parse_content_range("bytes */0")->first);
  for (const char* bad : {"bytes 5-10/10", "bytes 9-5/10", "items 0-1/2", "bytes 0-1", "bytes x-1/2", "bytes 0-1/"})
    EXPECT_FALSE(parse_content_range(bad)) << bad;
}

TEST(CheckRangeHead, FirstResponseDefinesTheObjectLaterOnesMustMatch) {
  ObjectIdentity obj;
  auto probe = head_of({"HTTP/1.1 206 x", "Content-Range: bytes 0-0/100", "ETag: \"a\"", "Content-Length: 1"});
  EXPECT_FALSE(check_range_head(probe, 0, 1, obj, "u"));
  EXPECT_EQ(obj.length, 100u);
  EXPECT_EQ(obj.etag, "\"a\"");

  // rclone's answer: 200, but with the range and its Content-Range.
  auto ok = head_of({"HTTP/1.1 200 OK", "Content-Range: bytes 10-19/100", "ETag: \"a\"", "Content-Length: 10"});
  EXPECT_FALSE(check_range_head(ok, 10, 20, obj, "u"));

  auto changed = head_of({"HTTP/1.1 206 x", "Content-Range: bytes 10-19/100", "ETag: \"b\""});
  EXPECT_EQ(check_range_head(changed, 10, 20, obj, "u")->kind(), IoErrorKind::InvalidData);
  auto shifted = head_of({"HTTP/1.1 206 x", "Content-Range: bytes 11-20/100"});
  EXPECT_NE(check_range_head(shifted, 10, 20, obj, "u")->to_string().find("Content-Range: bytes 11-20/100"),
            std::string::npos);
  auto other_total = head_of({"HTTP/1.1 206 x", "Content-Range: bytes 10-19/200"});
  EXPECT_TRUE(check_range_head(other_total, 10, 20, obj, "u"));
  auto long_body = head_of({"HTTP/1.1 206 x", "Content-Range: bytes 10-19/100", "Content-Length: 11"});
  EXPECT_TRUE(check_range_head(long_body, 10, 20, obj, "u"));
}

TEST(CheckRangeHead, WholeObjectIsTheRangeOnlyWhereTheRangeIsTheWholeObject) {
  ObjectIdentity obj{100, std::nullopt};
  auto whole = head_of({"HTTP/1.1 200 OK", "Content-Length: 100"});
  EXPECT_FALSE(check_range_head(whole, 0, 100, obj, "u"));
  const auto refused = check_range_head(whole, 0, 10, obj, "u");
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->to_string().find("ignored the range request"), std::string::npos);
  EXPECT_TRUE(check_range_head(head_of({"HTTP/1.1 206 x", "Content-Length: 10"}), 0, 10, obj, "u"));
}

TEST(StatusError, NamesTheReasonAndOnlyAPlainS3Code) {
  EXPECT_EQ(status_error("s3://b/k", 403, "<Error><Code>SignatureDoesNotMatch</Code></Error>").to_string(),
            "s3://b/k: access denied (HTTP 403, SignatureDoesNotMatch)");
  EXPECT_EQ(status_error("u", 404, "").kind(), IoErrorKind::NotFound);
  EXPECT_EQ(status_error("u", 400, "<Code>a b</Code>").to_string(), "u: the server answered HTTP 400");
  for (long s : {429, 500, 502, 503, 504}) EXPECT_TRUE(status_is_transient(s));
  for (long s : {400, 401, 403, 404, 412, 416}) EXPECT_FALSE(status_is_transient(s));
}

}  // namespace
}  // namespace vesk
