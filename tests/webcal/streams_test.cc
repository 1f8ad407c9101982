// The web-calendar client's stream classes, gzip included.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "webcal/byte_array_streams.h"
#include "webcal/gzip_read_stream.h"
#include "webcal/gzip_write_stream.h"
#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {
namespace {

// Incompressible bytes (fixed seed) or compressible calendar-like text.
std::string Bytes(size_t size, bool noise) {
  std::mt19937 random(42);
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) {
    out += noise ? std::string(1, char(random())) : "VEVENT " + std::to_string(i * 7919);
  }
  return out.substr(0, size);
}

// One gzip member of `data`, by the stream under test (the transport test reads gzip that
// another implementation made).
std::string Gzip(const std::string& data) {
  ByteArrayWriteStream out;
  GZipWriteStream gzip(&out, false);
  gzip.Write(data.data(), static_cast<ULONG>(data.size()), nullptr);
  gzip.Commit(0);
  return out.TakeBytes();
}

// Reads until a read returns 0 bytes or fails; the read sizes cycle from max_chunk down to 1.
std::string ReadAll(IStream* stream, int max_chunk, HRESULT* last) {
  std::string out, buffer(max_chunk, '\0');
  for (ULONG i = 0;; ++i) {
    ULONG read = 12345;
    *last = stream->Read(buffer.data(), max_chunk - i % max_chunk, &read);
    if (*last != S_OK || read == 0) return out;
    out.append(buffer.data(), read);
  }
}

// Hands out its data 1 to 7 bytes per read (or fills every buffer and then claims 1000 bytes
// more), collects what is written, fails reads or refuses or halves writes from a given call
// on, and counts its destructions.
struct FakeStream : StubStream {
  explicit FakeStream(std::string data = "") : data_(std::move(data)) {}
  ~FakeStream() override { ++destroyed; }
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (++reads_ > fail_after_) return E_FAIL;
    ULONG count = std::min<ULONG>({size, whole_ ? size : 1 + reads_ % 7, ULONG(data_.size())});
    std::memcpy(buffer, data_.data(), count);
    data_.erase(0, count);
    *read = count == size && whole_ ? size + 1000 : count;
    return S_OK;
  }
  HRESULT Write(const void* data, ULONG size, ULONG* written) override {
    if (++writes_ > refuse_after_) return E_FAIL;
    *written = writes_ > short_after_ ? size / 2 : size;
    written_.append(static_cast<const char*>(data), *written);
    return S_OK;
  }
  HRESULT Commit(DWORD) override { return MAPI_E_BUSY; }

  std::string data_, written_;
  int reads_ = 0, writes_ = 0, fail_after_ = 1 << 30, refuse_after_ = 1 << 30,
      short_after_ = 1 << 30;
  bool whole_ = false;
  static inline int destroyed = 0;
};

// A stream from elsewhere: reference-counted, so an owner gives it back with Release.
struct ForeignStream : IStream {
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }
  ULONG references = 1;
};

TEST(StreamBasicsTest, DelegatesForwardWhatTheyDoNotDoAndDisposeOfOnlyOwnedDelegates) {
  ByteArrayReadStream bytes("0123456789", 10);
  void* object = nullptr;
  for (const IID& iid : {IID_IUnknown, IID_ISequentialStream, IID_IStream}) {
    EXPECT_EQ(bytes.QueryInterface(iid, &object), S_OK);
    EXPECT_EQ(object, static_cast<IStream*>(&bytes));
  }
  const IID other = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(bytes.QueryInterface(other, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  HRESULT last = E_UNEXPECTED;
  EXPECT_EQ(ReadAll(&bytes, 4, &last), "0123456789");

  // What a stream does not do itself goes to the delegate, result and all; owned
  // delegates are disposed of (foreign ones released), borrowed ones live on.
  FakeStream kept("abcdefgh");  // its reads give 2, 3, 4... bytes
  ForeignStream foreign;
  const int destroyed = FakeStream::destroyed;
  {
    StubDelegateStream owning(new FakeStream, true), foreign_owner(&foreign, true);
    GZipReadStream owning_gunzip(new FakeStream, true), borrowing_gunzip(&kept, false);
    GZipWriteStream owning_gzip(new FakeStream, true);
    StubDelegateStream borrowing(&kept, false);
    char buffer[8];
    ULONG n = 0;
    EXPECT_EQ(borrowing.Read(buffer, 8, &n), S_OK);
    EXPECT_EQ(std::string(buffer, n), "ab");
    EXPECT_EQ(borrowing.Write("xy", 2, &n), S_OK);
    EXPECT_EQ(borrowing_gunzip.Write("zw", 2, &n), S_OK);
    EXPECT_EQ(borrowing_gunzip.Commit(0), MAPI_E_BUSY);
  }
  EXPECT_EQ(kept.written_, "xyzw");
  EXPECT_EQ(FakeStream::destroyed - destroyed, 3);
  EXPECT_EQ(foreign.references, 0u);
}

TEST(GZipReadStreamTest, ReadsOfAnySizeGiveTheDataThenTheCleanEndAgainAndAgain) {
  const std::string data = Bytes(30000, true) + Bytes(40000, false), gz = Gzip(data);
  for (const auto& [max_chunk, whole] : {std::pair(13, false), {13, true}, {80000, false}}) {
    auto* delegate = new FakeStream(gz);
    delegate->whole_ = whole;  // then it claims more than it was asked for
    GZipReadStream stream(delegate, true);
    HRESULT last = E_UNEXPECTED;
    EXPECT_EQ(ReadAll(&stream, max_chunk, &last), data);
    char buffer[8];
    ULONG read = 5;
    EXPECT_EQ(std::tuple(last, stream.Read(buffer, 8, &read), read), std::tuple(S_OK, S_OK, 0u));
  }
}

TEST(GZipReadStreamTest, TruncatedCorruptOrUnreadableDataFailsForGood) {
  const std::string gz = Gzip(Bytes(20000, false));
  // The body, the delegate read that fails, and the result: S_FALSE when the delegate failed,
  // E_FAIL for the data.
  std::vector<std::tuple<std::string, int, HRESULT>> cases = {
      {gz + "trailing junk", 1 << 30, E_FAIL}, {gz, 0, S_FALSE}, {gz, 30, S_FALSE}};
  for (size_t cut : {size_t{1}, size_t{5}, size_t{9}, gz.size() / 2, gz.size() - 8, gz.size() - 4,
                     gz.size() - 1}) {
    cases.emplace_back(gz.substr(0, cut), 1 << 30, E_FAIL);
  }
  for (size_t at : {size_t{0}, size_t{3}, gz.size() / 2, gz.size() - 6, gz.size() - 2}) {
    cases.emplace_back(gz, 1 << 30, E_FAIL);
    std::get<0>(cases.back())[at] ^= 0x20;  // magic, flags, compressed data, CRC, length
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& [body, fail_after, expected] = cases[i];
    auto* delegate = new FakeStream(body);
    delegate->fail_after_ = fail_after;
    GZipReadStream stream(delegate, true);
    HRESULT last = S_OK;
    ReadAll(&stream, 500, &last);
    EXPECT_EQ(last, expected);
    const int reads = delegate->reads_;
    char buffer[8];
    ULONG read = 5;
    EXPECT_EQ(stream.Read(buffer, 8, &read), expected);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(delegate->reads_, reads);  // the position is lost: the delegate is not asked again
  }
}

TEST(GZipWriteStreamTest, WritesCompressInPiecesOf8192AndEachCommitCompletesAMember) {
  // Read back whole (a member without its end would fail).
  HRESULT last = E_UNEXPECTED;
  const auto gunzip = [&last](const std::string& gz) {
    GZipReadStream reader(new ByteArrayReadStream(gz.data(), gz.size()), true);
    return std::tuple(ReadAll(&reader, 5000, &last), last);
  };
  EXPECT_EQ(gunzip(Gzip("")), std::tuple("", S_OK));  // an empty file, but a whole one

  const std::string first = Bytes(20000, true), second = Bytes(60000, true) + Bytes(30000, false);
  FakeStream sink;
  GZipWriteStream stream(&sink, false);
  ULONG written = 0;
  EXPECT_EQ(stream.Write(first.data(), first.size(), &written), S_OK);
  EXPECT_EQ(written, 20000u);
  EXPECT_EQ(stream.Commit(0), S_OK);
  EXPECT_EQ(gunzip(sink.written_), std::tuple(first, S_OK));
  size_t offset = 0;  // a second member, in writes around the piece and buffer sizes
  for (ULONG size : {1u, 8191u, 8193u, 16384u, 40000u, 5u, 17226u}) {
    ASSERT_EQ(stream.Write(second.data() + offset, size, nullptr), S_OK);
    offset += size;
  }
  ASSERT_EQ(offset, second.size());
  ASSERT_EQ(stream.Commit(0), S_OK);
  GZipReadStream reader(new FakeStream(sink.written_), true);
  // Exactly the first member's size: its trailer may still be unread, and the next read must
  // go on to the second member rather than report 0 bytes.
  std::string buffer(first.size(), '\0');
  ULONG read = 0;
  ASSERT_EQ(reader.Read(buffer.data(), buffer.size(), &read), S_OK);
  EXPECT_EQ(buffer.substr(0, read) + ReadAll(&reader, 5000, &last), first + second);
  EXPECT_EQ(last, S_OK);
}

TEST(GZipWriteStreamTest, DelegateFailuresAreReportedAndStay) {
  const std::string data = Bytes(40000, true);  // fills the 16384-byte buffer twice
  // A refused write gives S_FALSE, a short one E_FAIL; a small write only fails at Commit.
  for (const auto& [refuse_after, short_after, size, expected] :
       {std::tuple(0, 1 << 30, ULONG(data.size()), S_FALSE),
        std::tuple(1 << 30, 0, ULONG(data.size()), E_FAIL),
        std::tuple(0, 1 << 30, ULONG{5}, S_OK)}) {
    FakeStream sink;
    sink.refuse_after_ = refuse_after;
    sink.short_after_ = short_after;
    GZipWriteStream stream(&sink, false);
    ULONG written = 7;
    EXPECT_EQ(stream.Write(data.data(), size, &written), expected);
    EXPECT_EQ(written, expected == S_OK ? size : 0u);
    EXPECT_TRUE(expected != S_OK || stream.Commit(0) == S_FALSE);  // a small write fails there
    sink.refuse_after_ = sink.short_after_ = 1 << 30;  // the delegate recovers: too late
    const HRESULT failure = expected == S_OK ? S_FALSE : expected;
    EXPECT_EQ(stream.Commit(0), failure);
    EXPECT_EQ(stream.Write("x", 1, nullptr), failure);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
