#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "webcal/byte_array_streams.h"
#include "webcal/gzip_read_stream.h"
#include "webcal/gzip_write_stream.h"
#include "webcal/hinternet_read_stream.h"

namespace calendar_mirrow_addin {
namespace {

std::string Text(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) text += "BEGIN:VEVENT " + std::to_string(i * 7919);
  return text.substr(0, size);
}

std::string Noise(size_t size) {
  std::mt19937 random(42);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string Gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = data.size();
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = out.size();
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Decompresses one member as far as it goes; `complete` tells whether its trailer was
// reached and checked.
std::string Gunzip(const std::string& gz, bool* complete) {
  z_stream z{};
  inflateInit2(&z, 31);
  std::string out(1 << 20, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = gz.size();
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = out.size();
  *complete = inflate(&z, Z_SYNC_FLUSH) == Z_STREAM_END;
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Reads until a read returns 0 bytes or fails; `chunk` cycles through 1..max_chunk.
std::string ReadAll(IStream* stream, ULONG max_chunk, HRESULT* last) {
  std::string out;
  std::vector<char> buffer(max_chunk);
  for (ULONG i = 0;; ++i) {
    ULONG read = 12345;
    *last = stream->Read(buffer.data(), 1 + i % max_chunk, &read);
    if (*last != S_OK || read == 0) return out;
    out.append(buffer.data(), read);
  }
}

// Hands out its data 1 to 7 bytes per read; can fail after a number of reads, claim more
// than it was asked for, and report its destruction.
class ChunkedStream : public StubStream {
 public:
  explicit ChunkedStream(std::string data, bool* destroyed = nullptr)
      : data_(std::move(data)), destroyed_(destroyed) {}
  ~ChunkedStream() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (++reads_ > fail_after_) return E_FAIL;
    ULONG count = std::min<ULONG>(
        {size, whole_buffers_ ? size : 1 + reads_ % 7, static_cast<ULONG>(data_.size() - offset_)});
    std::memcpy(buffer, data_.data() + offset_, count);
    offset_ += count;
    *read = count == size && whole_buffers_ ? size + 1000 : count;
    return S_OK;
  }
  HRESULT Write(const void*, ULONG size, ULONG* written) override {
    *written = size;
    return S_FALSE;
  }
  HRESULT Commit(DWORD) override { return MAPI_E_BUSY; }

  int reads_ = 0;
  int fail_after_ = 1 << 30;
  bool whole_buffers_ = false;  // fills every buffer and then claims 1000 bytes more

 private:
  std::string data_;
  size_t offset_ = 0;
  bool* destroyed_;
};

void ExpectUnsupported(IStream* stream) {
  ULARGE_INTEGER any{};
  IStream* copy = nullptr;
  EXPECT_EQ(stream->Seek(LARGE_INTEGER{}, 0, &any), E_NOTIMPL);
  EXPECT_EQ(stream->SetSize(any), E_NOTIMPL);
  EXPECT_EQ(stream->CopyTo(stream, any, &any, &any), E_NOTIMPL);
  EXPECT_EQ(stream->Revert(), E_NOTIMPL);
  EXPECT_EQ(stream->LockRegion(any, any, 0), E_NOTIMPL);
  EXPECT_EQ(stream->UnlockRegion(any, any, 0), E_NOTIMPL);
  EXPECT_EQ(stream->Stat(nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(stream->Clone(&copy), E_NOTIMPL);
}

TEST(StreamBasicsTest, UnsupportedOperationsAnswerNotImplemented) {
  ByteArrayWriteStream sink;
  StubStream stub;
  StubDelegateStream delegating(&sink, false);
  HInternetReadStream http(nullptr);
  GZipReadStream gunzip(&sink, false);
  GZipWriteStream gzip(&sink, false);
  ByteArrayReadStream bytes("ab", 2);
  for (IStream* stream :
       std::vector<IStream*>{&stub, &delegating, &http, &gunzip, &gzip, &bytes, &sink}) {
    ExpectUnsupported(stream);
  }
  char buffer[4];
  ULONG count = 0;
  EXPECT_EQ(stub.Read(buffer, 4, &count), E_NOTIMPL);
  EXPECT_EQ(stub.Write("x", 1, &count), E_NOTIMPL);
  EXPECT_EQ(stub.Commit(0), E_NOTIMPL);
  EXPECT_EQ(http.Write("x", 1, &count), E_NOTIMPL);
  EXPECT_EQ(http.Commit(0), E_NOTIMPL);
  EXPECT_EQ(bytes.Write("x", 1, &count), E_NOTIMPL);
  EXPECT_EQ(sink.Read(buffer, 4, &count), E_NOTIMPL);
  EXPECT_EQ(sink.Commit(0), E_NOTIMPL);
}

TEST(StreamBasicsTest, QueryInterfaceAnswersTheStreamInterfacesWithTheObject) {
  ByteArrayReadStream stream("", 0);
  for (const IID& iid : {IID_IUnknown, IID_ISequentialStream, IID_IStream}) {
    void* object = nullptr;
    EXPECT_EQ(stream.QueryInterface(iid, &object), S_OK);
    EXPECT_EQ(object, static_cast<IStream*>(&stream));
  }
  const IID other = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  void* object = &stream;
  EXPECT_EQ(stream.QueryInterface(other, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(stream.QueryInterface(IID_IStream, nullptr), E_POINTER);
  EXPECT_EQ(stream.AddRef(), 0u);
  EXPECT_EQ(stream.Release(), 0u);
}

// A stream from elsewhere: reference-counted, so an owner gives it back with Release.
class ForeignStream : public IStream {
 public:
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

TEST(StreamBasicsTest, DelegatingStreamsForwardAndReleaseOnlyOwnedDelegates) {
  bool destroyed[6] = {};
  ChunkedStream kept0("", &destroyed[3]), kept1("", &destroyed[4]), kept2("", &destroyed[5]);
  ForeignStream foreign;
  {
    StubDelegateStream owning(new ChunkedStream("abc", &destroyed[0]), true);
    GZipReadStream owning_gunzip(new ChunkedStream("", &destroyed[1]), true);
    GZipWriteStream owning_gzip(new ChunkedStream("", &destroyed[2]), true);
    StubDelegateStream borrowing(&kept0, false);
    GZipReadStream borrowing_gunzip(&kept1, false);
    GZipWriteStream borrowing_gzip(&kept2, false);
    StubDelegateStream owning_foreign(&foreign, true);
    char buffer[8];
    ULONG count = 0;
    EXPECT_EQ(owning.Read(buffer, 8, &count), S_OK);
    EXPECT_EQ(count, 2u);  // the delegate's first read hands out 2 bytes
    EXPECT_EQ(owning.Write("xy", 2, &count), S_FALSE);
    EXPECT_EQ(owning.Commit(0), MAPI_E_BUSY);
    EXPECT_EQ(owning_gunzip.Write("xy", 2, &count), S_FALSE);
    EXPECT_EQ(owning_gunzip.Commit(0), MAPI_E_BUSY);
    EXPECT_EQ(owning_gzip.Read(buffer, 8, &count), S_OK);
    EXPECT_EQ(count, 0u);
  }
  EXPECT_TRUE(destroyed[0] && destroyed[1] && destroyed[2]);
  EXPECT_FALSE(destroyed[3] || destroyed[4] || destroyed[5]);
  EXPECT_EQ(foreign.references, 0u);
}

TEST(ByteArrayStreamsTest, ReadCopiesInPiecesAndWriteAppends) {
  ByteArrayReadStream reader("0123456789", 10);
  std::string seen;
  std::vector<ULONG> counts;
  for (int i = 0; i < 5; ++i) {
    char buffer[4];
    ULONG count = 99;
    ASSERT_EQ(reader.Read(buffer, 4, &count), S_OK);
    counts.push_back(count);
    seen.append(buffer, count);
  }
  EXPECT_EQ(counts, (std::vector<ULONG>{4, 4, 2, 0, 0}));
  EXPECT_EQ(seen, "0123456789");

  ByteArrayWriteStream writer;
  ULONG written = 0;
  EXPECT_EQ(writer.Write("abc", 3, &written), S_OK);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(writer.Write(std::string("d\0e", 3).data(), 3, nullptr), S_OK);
  EXPECT_EQ(writer.bytes(), std::string("abcd\0e", 6));
  EXPECT_EQ(writer.TakeBytes(), std::string("abcd\0e", 6));
  EXPECT_EQ(writer.bytes(), "");
}

class FakeExchange : public platform::HttpExchange {
 public:
  FakeExchange(std::vector<std::string> chunks, bool fail_at_end, bool* destroyed)
      : chunks_(std::move(chunks)), fail_at_end_(fail_at_end), destroyed_(destroyed) {}
  ~FakeExchange() override { *destroyed_ = true; }
  uint32_t status() const override { return 200; }
  bool Header(std::string_view, std::string*) const override { return false; }
  bool ReadBody(void* buffer, size_t size, size_t* read) override {
    if (next_ == chunks_.size()) return *read = 0, !fail_at_end_;
    const std::string& chunk = chunks_[next_++];
    std::memcpy(buffer, chunk.data(), std::min(size, chunk.size()));
    *read = chunk.size();  // a chunk longer than the buffer claims too much
    return true;
  }

 private:
  std::vector<std::string> chunks_;
  size_t next_ = 0;
  bool fail_at_end_;
  bool* destroyed_;
};

TEST(HInternetReadStreamTest, ReadsTheBodyThenEndsOrFails) {
  for (bool fail : {false, true}) {
    bool destroyed = false;
    {
      HInternetReadStream stream(std::make_unique<FakeExchange>(
          std::vector<std::string>{"abc", "0123456789"}, fail, &destroyed));
      char buffer[4];
      ULONG read = 0;
      EXPECT_EQ(stream.Read(buffer, 4, &read), S_OK);
      EXPECT_EQ(std::string(buffer, read), "abc");
      EXPECT_EQ(stream.Read(buffer, 4, &read), S_OK);
      EXPECT_EQ(std::string(buffer, read), "0123");
      read = 7;
      EXPECT_EQ(stream.Read(buffer, 4, &read), fail ? E_FAIL : S_OK);
      EXPECT_EQ(read, 0u);
    }
    EXPECT_TRUE(destroyed);
  }
}

TEST(GZipReadStreamTest, SmallDelegateAndCallerReadsGiveTheSameBytesAsOneRead) {
  const std::string data = Noise(30000) + Text(40000);
  const std::string gz = Gzip(data);
  ByteArrayReadStream whole(gz.data(), gz.size());
  GZipReadStream at_once(&whole, false);
  std::string buffer(data.size() + 10, '\0');
  ULONG read = 0;
  EXPECT_EQ(at_once.Read(buffer.data(), buffer.size(), &read), S_OK);
  EXPECT_EQ(buffer.substr(0, read), data);

  for (bool whole_buffers : {false, true}) {
    auto* delegate = new ChunkedStream(gz);
    delegate->whole_buffers_ = whole_buffers;  // then it claims more than it was asked for
    GZipReadStream piecewise(delegate, true);
    HRESULT last = E_UNEXPECTED;
    EXPECT_EQ(ReadAll(&piecewise, 13, &last), data);
    EXPECT_EQ(last, S_OK);
    for (int i = 0; i < 3; ++i) {  // after the trailer: the clean end, again and again
      EXPECT_EQ(piecewise.Read(buffer.data(), 100, &read), S_OK);
      EXPECT_EQ(read, 0u);
    }
  }
}

TEST(GZipReadStreamTest, ConsecutiveMembersReadAsOneSequence) {
  const std::string first = Text(3000), second = Text(500);
  GZipReadStream stream(new ChunkedStream(Gzip(first) + Gzip(second)), true);
  // Exactly the first member's size: its trailer is still unread, and the next read must go
  // on to the second member rather than report 0 bytes.
  std::string buffer(first.size(), '\0');
  ULONG read = 0;
  ASSERT_EQ(stream.Read(buffer.data(), buffer.size(), &read), S_OK);
  EXPECT_EQ(buffer.substr(0, read), first.substr(0, read));
  HRESULT last = E_UNEXPECTED;
  EXPECT_EQ(buffer.substr(0, read) + ReadAll(&stream, 64, &last), first + second);
  EXPECT_EQ(last, S_OK);
}

// Reads to the end and expects a failure that later reads repeat.
void ExpectFailure(const std::string& gz, HRESULT expected, const std::string& label) {
  SCOPED_TRACE(label);
  GZipReadStream stream(new ChunkedStream(gz), true);
  HRESULT last = S_OK;
  ReadAll(&stream, 500, &last);
  EXPECT_EQ(last, expected);
  char buffer[8];
  ULONG read = 5;
  EXPECT_EQ(stream.Read(buffer, 8, &read), expected);
  EXPECT_EQ(read, 0u);
}

TEST(GZipReadStreamTest, TruncatedOrCorruptDataFails) {
  const std::string gz = Gzip(Text(20000));
  for (size_t cut : {size_t{1}, size_t{5}, size_t{9}, gz.size() / 2, gz.size() - 8, gz.size() - 4,
                     gz.size() - 1}) {
    ExpectFailure(gz.substr(0, cut), E_FAIL, "cut at " + std::to_string(cut));
  }
  for (size_t at : {size_t{0}, size_t{3}, gz.size() / 2, gz.size() - 6, gz.size() - 2}) {
    std::string flipped = gz;
    flipped[at] ^= 0x20;  // magic, flags, compressed data, CRC, length
    ExpectFailure(flipped, E_FAIL, "flipped at " + std::to_string(at));
  }
  ExpectFailure(gz + "trailing junk", E_FAIL, "junk after the member");
}

TEST(GZipReadStreamTest, FailingDelegateReadIsReportedAsSFalseNotAsTheEnd) {
  for (int fail_after : {0, 30}) {
    auto* delegate = new ChunkedStream(Gzip(Text(5000)));
    delegate->fail_after_ = fail_after;
    GZipReadStream stream(delegate, true);
    HRESULT last = S_OK;
    ReadAll(&stream, 4000, &last);
    EXPECT_EQ(last, S_FALSE);
    const int reads = delegate->reads_;
    char buffer[8];
    ULONG read = 5;
    EXPECT_EQ(stream.Read(buffer, 8, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(delegate->reads_, reads);  // the broken delegate is not asked again
  }
}

TEST(GZipReadStreamTest, ZeroSizeReadsAndEmptyBodiesAreNotFailures) {
  const std::string data = Text(1000);
  const std::string gz = Gzip(data);
  for (const std::string& body : {gz, std::string()}) {
    GZipReadStream stream(new ByteArrayReadStream(body.data(), body.size()), true);
    char buffer[1];
    ULONG read = 5;
    EXPECT_EQ(stream.Read(buffer, 0, &read), S_OK);
    EXPECT_EQ(read, 0u);
    HRESULT last = E_UNEXPECTED;
    EXPECT_EQ(ReadAll(&stream, 100, &last), body.empty() ? "" : data);
    EXPECT_EQ(last, S_OK);
  }
}

// Collects what is written; can refuse or take half of the writes from a given one on.
class SinkStream : public StubStream {
 public:
  HRESULT Write(const void* data, ULONG size, ULONG* written) override {
    if (++writes_ > refuse_after_) return E_FAIL;
    const ULONG taken = writes_ > short_after_ ? size / 2 : size;
    bytes_.append(static_cast<const char*>(data), taken);
    *written = taken;
    return S_OK;
  }
  std::string bytes_;
  int writes_ = 0;
  int refuse_after_ = 1 << 30;
  int short_after_ = 1 << 30;
};

// The uncompressed sizes at which the output holds a sync-flush marker: where a piece ended.
std::vector<size_t> FlushPoints(const std::string& gz) {
  std::vector<size_t> points;
  bool complete = false;
  for (size_t at = gz.find("\0\0\xff\xff", 0, 4); at != std::string::npos;
       at = gz.find("\0\0\xff\xff", at + 1, 4)) {
    points.push_back(Gunzip(gz.substr(0, at + 4), &complete).size());
  }
  return points;
}

TEST(GZipWriteStreamTest, WriteIsCompressedInPiecesOf8192AndCommitCompletesTheFile) {
  const std::string data = Text(20000);
  SinkStream sink;
  {
    GZipWriteStream stream(&sink, false);
    ULONG written = 0;
    EXPECT_EQ(stream.Write(data.data(), data.size(), &written), S_OK);
    EXPECT_EQ(written, 20000u);
    EXPECT_EQ(stream.Commit(0), S_OK);
  }
  bool complete = false;
  EXPECT_EQ(Gunzip(sink.bytes_, &complete), data);
  EXPECT_TRUE(complete);
  EXPECT_EQ(FlushPoints(sink.bytes_), (std::vector<size_t>{8192, 16384, 20000}));
}

TEST(GZipWriteStreamTest, LargeAndOddWritesRoundTripThroughTheReadStream) {
  const std::string first = Noise(70000) + Text(30000), second = Text(777);
  ByteArrayWriteStream sink;
  GZipWriteStream stream(&sink, false);
  size_t offset = 0;
  for (ULONG size : {1u, 8191u, 8193u, 16384u, 40000u, 5u}) {
    ASSERT_EQ(stream.Write(first.data() + offset, size, nullptr), S_OK);
    offset += size;
  }
  ASSERT_EQ(stream.Write(first.data() + offset, first.size() - offset, nullptr), S_OK);
  ASSERT_EQ(stream.Commit(0), S_OK);
  ASSERT_EQ(stream.Write(second.data(), second.size(), nullptr), S_OK);  // a second member
  ASSERT_EQ(stream.Commit(0), S_OK);
  const std::string gz = sink.TakeBytes();
  GZipReadStream reader(new ByteArrayReadStream(gz.data(), gz.size()), true);
  HRESULT last = E_UNEXPECTED;
  EXPECT_EQ(ReadAll(&reader, 5000, &last), first + second);
  EXPECT_EQ(last, S_OK);
}

TEST(GZipWriteStreamTest, CommitAloneGivesAnEmptyFileAndNoCommitAnIncompleteOne) {
  bool complete = false;
  ByteArrayWriteStream committed;
  EXPECT_EQ(GZipWriteStream(&committed, false).Commit(0), S_OK);
  EXPECT_EQ(Gunzip(committed.bytes(), &complete), "");
  EXPECT_TRUE(complete);

  const std::string data = Noise(40000);
  ByteArrayWriteStream abandoned;
  GZipWriteStream(&abandoned, false).Write(data.data(), data.size(), nullptr);
  EXPECT_FALSE(abandoned.bytes().empty());
  Gunzip(abandoned.bytes(), &complete);
  EXPECT_FALSE(complete);
}

TEST(GZipWriteStreamTest, DelegateFailuresAreReportedAndStay) {
  const std::string data = Noise(40000);  // fills the 16384-byte buffer twice
  struct Case {
    int refuse_after, short_after;
    HRESULT expected;
  };
  for (const Case& c : {Case{0, 1 << 30, S_FALSE}, Case{1 << 30, 0, E_FAIL}}) {
    SinkStream sink;
    sink.refuse_after_ = c.refuse_after;
    sink.short_after_ = c.short_after;
    GZipWriteStream stream(&sink, false);
    ULONG written = 7;
    EXPECT_EQ(stream.Write(data.data(), data.size(), &written), c.expected);
    EXPECT_EQ(written, 0u);
    sink.refuse_after_ = sink.short_after_ = 1 << 30;  // the delegate recovers: too late
    EXPECT_EQ(stream.Write("x", 1, nullptr), c.expected);
    EXPECT_EQ(stream.Commit(0), c.expected);
  }
  SinkStream refusing;  // a failure that only shows when Commit writes
  refusing.refuse_after_ = 0;
  GZipWriteStream stream(&refusing, false);
  EXPECT_EQ(stream.Write("small", 5, nullptr), S_OK);
  EXPECT_EQ(stream.Commit(0), S_FALSE);
}

}  // namespace
}  // namespace calendar_mirrow_addin
