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

// Compresses `in` into one gzip member or, when `inflating`, decompresses one member as far
// as it goes; `complete` tells whether the member's end (and its trailer check) was reached.
std::string Zlib(const std::string& in, bool inflating, bool* complete = nullptr) {
  z_stream z{};
  inflating ? inflateInit2(&z, 31)
            : deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(2 * in.size() + (1 << 20), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = in.size();
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = out.size();
  const int result = inflating ? inflate(&z, Z_SYNC_FLUSH) : deflate(&z, Z_FINISH);
  if (complete != nullptr) *complete = result == Z_STREAM_END;
  out.resize(z.total_out);
  inflating ? inflateEnd(&z) : deflateEnd(&z);
  return out;
}
std::string Gzip(const std::string& data) { return Zlib(data, false); }
std::string Gunzip(const std::string& gz, bool* complete) { return Zlib(gz, true, complete); }

// Reads until a read returns 0 bytes or fails; the read sizes cycle through 1..max_chunk.
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

// Hands out its data 1 to 7 bytes per read (or fills every buffer and then claims 1000 bytes
// more), collects what is written, fails reads or refuses or halves writes from a given call
// on, and reports its destruction.
class FakeStream : public StubStream {
 public:
  explicit FakeStream(std::string data = "", bool* destroyed = nullptr)
      : data_(std::move(data)), destroyed_(destroyed) {}
  ~FakeStream() override {
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
  HRESULT Write(const void* data, ULONG size, ULONG* written) override {
    if (++writes_ > refuse_after_) return E_FAIL;
    *written = writes_ > short_after_ ? size / 2 : size;
    written_.append(static_cast<const char*>(data), *written);
    return S_OK;
  }
  HRESULT Commit(DWORD) override { return MAPI_E_BUSY; }

  std::string data_, written_;
  size_t offset_ = 0;
  int reads_ = 0, writes_ = 0;
  int fail_after_ = 1 << 30, refuse_after_ = 1 << 30, short_after_ = 1 << 30;
  bool whole_buffers_ = false;
  bool* destroyed_;
};

// Which of Read, Write, Commit, Seek, SetSize, CopyTo, Revert, LockRegion, UnlockRegion,
// Stat and Clone answer E_NOTIMPL: their letter, or '-' for those that answer otherwise.
std::string Unimplemented(IStream* s) {
  ULARGE_INTEGER any{};
  IStream* copy = nullptr;
  char buffer[4];
  ULONG count = 0;
  const HRESULT results[] = {s->Read(buffer, 4, &count),
                             s->Write("x", 1, &count),
                             s->Commit(0),
                             s->Seek(LARGE_INTEGER{}, 0, &any),
                             s->SetSize(any),
                             s->CopyTo(s, any, &any, &any),
                             s->Revert(),
                             s->LockRegion(any, any, 0),
                             s->UnlockRegion(any, any, 0),
                             s->Stat(nullptr, 0),
                             s->Clone(&copy)};
  std::string letters;
  for (size_t i = 0; i < std::size(results); ++i) {
    letters += results[i] == E_NOTIMPL ? "rwcSZCVLUTK"[i] : '-';
  }
  return letters;
}

TEST(StreamBasicsTest, UnsupportedOperationsAnswerNotImplemented) {
  ByteArrayWriteStream sink;  // can only be written; delegates pass its answers on
  StubStream stub;
  StubDelegateStream delegating(&sink, false);
  HInternetReadStream http(nullptr);
  GZipReadStream gunzip(&sink, false);
  GZipWriteStream gzip(&sink, false);
  ByteArrayReadStream bytes("ab", 2);
  EXPECT_EQ(Unimplemented(&stub), "rwcSZCVLUTK");
  EXPECT_EQ(Unimplemented(&sink), "r-cSZCVLUTK");
  EXPECT_EQ(Unimplemented(&delegating), "r-cSZCVLUTK");
  EXPECT_EQ(Unimplemented(&http), "-wcSZCVLUTK");
  EXPECT_EQ(Unimplemented(&bytes), "-wcSZCVLUTK");
  EXPECT_EQ(Unimplemented(&gunzip), "--cSZCVLUTK");  // a failing delegate read is S_FALSE
  EXPECT_EQ(Unimplemented(&gzip), "r--SZCVLUTK");
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

TEST(StreamBasicsTest, DelegatingStreamsForwardAndDisposeOfOnlyOwnedDelegates) {
  bool destroyed[6] = {};
  FakeStream kept[3] = {FakeStream("abc", &destroyed[3]), FakeStream("abc", &destroyed[4]),
                        FakeStream("abc", &destroyed[5])};
  ForeignStream foreign;
  {
    StubDelegateStream owning(new FakeStream("", &destroyed[0]), true);
    GZipReadStream owning_gunzip(new FakeStream("", &destroyed[1]), true);
    GZipWriteStream owning_gzip(new FakeStream("", &destroyed[2]), true);
    StubDelegateStream owning_foreign(&foreign, true);
    StubDelegateStream delegating(&kept[0], false);
    GZipReadStream gunzip(&kept[1], false);
    GZipWriteStream gzip(&kept[2], false);
    // What the stream does not do itself goes to the delegate, result and all.
    char buffer[8];
    ULONG count = 0;
    EXPECT_EQ(delegating.Read(buffer, 8, &count), S_OK);
    EXPECT_EQ(std::string(buffer, count), "ab");  // the delegate's first read gives 2 bytes
    EXPECT_EQ(gzip.Read(buffer, 8, &count), S_OK);
    EXPECT_EQ(std::string(buffer, count), "ab");
    EXPECT_EQ(delegating.Write("xy", 2, &count), S_OK);
    EXPECT_EQ(gunzip.Write("zw", 2, &count), S_OK);
    EXPECT_EQ(delegating.Commit(0), MAPI_E_BUSY);
    EXPECT_EQ(gunzip.Commit(0), MAPI_E_BUSY);
  }
  EXPECT_EQ(kept[0].written_ + kept[1].written_, "xyzw");
  EXPECT_TRUE(destroyed[0] && destroyed[1] && destroyed[2]);
  EXPECT_FALSE(destroyed[3] || destroyed[4] || destroyed[5]);
  EXPECT_EQ(foreign.references, 0u);
}

TEST(ByteArrayStreamsTest, ReadCopiesInPiecesAndWriteAppends) {
  ByteArrayReadStream reader("0123456789", 10);
  std::string seen;
  std::vector<ULONG> counts;
  for (int i = 0; i < 4; ++i) {
    char buffer[4];
    ULONG count = 99;
    ASSERT_EQ(reader.Read(buffer, 4, &count), S_OK);
    counts.push_back(count);
    seen.append(buffer, count);
  }
  EXPECT_EQ(counts, (std::vector<ULONG>{4, 4, 2, 0}));
  EXPECT_EQ(seen, "0123456789");

  ByteArrayWriteStream writer;
  ULONG written = 0;
  EXPECT_EQ(writer.Write("abc", 3, &written), S_OK);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(writer.Write(std::string("d\0e", 3).data(), 3, nullptr), S_OK);
  EXPECT_EQ(writer.TakeBytes(), std::string("abcd\0e", 6));
  EXPECT_EQ(writer.bytes(), "");
}

// Hands out "abc" and "0123456789", each claimed whole even when longer than the buffer,
// then ends or fails.
class FakeExchange : public platform::HttpExchange {
 public:
  FakeExchange(bool fail_at_end, bool* destroyed) : fail_(fail_at_end), destroyed_(destroyed) {}
  ~FakeExchange() override { *destroyed_ = true; }
  uint32_t status() const override { return 200; }
  bool Header(std::string_view, std::string*) const override { return false; }
  bool ReadBody(void* buffer, size_t size, size_t* read) override {
    const std::string chunks[] = {"abc", "0123456789"};
    if (next_ == 2) return *read = 0, !fail_;
    std::memcpy(buffer, chunks[next_].data(), std::min(size, chunks[next_].size()));
    *read = chunks[next_++].size();
    return true;
  }

 private:
  size_t next_ = 0;
  bool fail_;
  bool* destroyed_;
};

TEST(HInternetReadStreamTest, ReadsTheBodyThenEndsOrFailsAndClosesTheExchange) {
  for (bool fail : {false, true}) {
    bool destroyed = false;
    {
      HInternetReadStream stream(std::make_unique<FakeExchange>(fail, &destroyed));
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

TEST(GZipReadStreamTest, ManySmallReadsGiveWhatOneReadGivesThenTheCleanEnd) {
  const std::string data = Noise(30000) + Text(40000);
  const std::string gz = Gzip(data);
  GZipReadStream at_once(new ByteArrayReadStream(gz.data(), gz.size()), true);
  std::string buffer(data.size() + 10, '\0');
  ULONG read = 5;
  EXPECT_EQ(at_once.Read(buffer.data(), 0, &read), S_OK);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(at_once.Read(buffer.data(), buffer.size(), &read), S_OK);
  EXPECT_EQ(buffer.substr(0, read), data);

  for (bool whole_buffers : {false, true}) {
    auto* delegate = new FakeStream(gz);
    delegate->whole_buffers_ = whole_buffers;  // then it claims more than it was asked for
    GZipReadStream piecewise(delegate, true);
    HRESULT last = E_UNEXPECTED;
    EXPECT_EQ(ReadAll(&piecewise, 13, &last), data);
    EXPECT_EQ(last, S_OK);
    for (int i = 0; i < 2; ++i) {  // after the trailer: the clean end, again and again
      read = 5;
      EXPECT_EQ(piecewise.Read(buffer.data(), 100, &read), S_OK);
      EXPECT_EQ(read, 0u);
    }
  }
  GZipReadStream empty(new ByteArrayReadStream("", 0), true);
  HRESULT last = E_UNEXPECTED;
  EXPECT_EQ(ReadAll(&empty, 10, &last), "");
  EXPECT_EQ(last, S_OK);
}

TEST(GZipReadStreamTest, TruncatedCorruptOrUnreadableDataFailsForGood) {
  const std::string gz = Gzip(Text(20000));
  struct Case {
    std::string label, body;
    int fail_after;
    HRESULT expected;  // S_FALSE when the delegate failed, E_FAIL for the data
  };
  std::vector<Case> cases = {{"junk after the member", gz + "trailing junk", 1 << 30, E_FAIL},
                             {"delegate fails at once", gz, 0, S_FALSE},
                             {"delegate fails midway", gz, 30, S_FALSE}};
  for (size_t cut : {size_t{1}, size_t{5}, size_t{9}, gz.size() / 2, gz.size() - 8, gz.size() - 4,
                     gz.size() - 1}) {
    cases.push_back({"cut at " + std::to_string(cut), gz.substr(0, cut), 1 << 30, E_FAIL});
  }
  for (size_t at : {size_t{0}, size_t{3}, gz.size() / 2, gz.size() - 6, gz.size() - 2}) {
    std::string flipped = gz;
    flipped[at] ^= 0x20;  // magic, flags, compressed data, CRC, length
    cases.push_back({"flipped at " + std::to_string(at), flipped, 1 << 30, E_FAIL});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto* delegate = new FakeStream(c.body);
    delegate->fail_after_ = c.fail_after;
    GZipReadStream stream(delegate, true);
    HRESULT last = S_OK;
    ReadAll(&stream, 500, &last);
    EXPECT_EQ(last, c.expected);
    const int reads = delegate->reads_;
    char buffer[8];
    ULONG read = 5;
    EXPECT_EQ(stream.Read(buffer, 8, &read), c.expected);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(delegate->reads_, reads);  // the position is lost: the delegate is not asked again
  }
}

TEST(GZipWriteStreamTest, WriteIsCompressedInPiecesOf8192AndCommitCompletesTheFile) {
  const std::string data = Text(20000);
  FakeStream sink;
  {
    GZipWriteStream stream(&sink, false);
    ULONG written = 0;
    EXPECT_EQ(stream.Write(data.data(), data.size(), &written), S_OK);
    EXPECT_EQ(written, 20000u);
    EXPECT_EQ(stream.Commit(0), S_OK);
  }
  bool complete = false;
  EXPECT_EQ(Gunzip(sink.written_, &complete), data);
  EXPECT_TRUE(complete);
  // Each piece ends in a sync-flush marker; the uncompressed size at each marker:
  std::vector<size_t> pieces;
  for (size_t at = sink.written_.find("\0\0\xff\xff", 0, 4); at != std::string::npos;
       at = sink.written_.find("\0\0\xff\xff", at + 1, 4)) {
    pieces.push_back(Gunzip(sink.written_.substr(0, at + 4), &complete).size());
  }
  EXPECT_EQ(pieces, (std::vector<size_t>{8192, 16384, 20000}));

  ByteArrayWriteStream committed;
  EXPECT_EQ(GZipWriteStream(&committed, false).Commit(0), S_OK);
  EXPECT_EQ(Gunzip(committed.bytes(), &complete), "");
  EXPECT_TRUE(complete);  // an empty file, but a whole one
}

TEST(GZipWriteStreamTest, OddWritesAndTwoMembersRoundTripThroughTheReadStream) {
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

  GZipReadStream reader(new FakeStream(sink.TakeBytes()), true);
  // Exactly the first member's size: its trailer may still be unread, and the next read must
  // go on to the second member rather than report 0 bytes.
  std::string buffer(first.size(), '\0');
  ULONG read = 0;
  ASSERT_EQ(reader.Read(buffer.data(), buffer.size(), &read), S_OK);
  HRESULT last = E_UNEXPECTED;
  EXPECT_EQ(buffer.substr(0, read) + ReadAll(&reader, 5000, &last), first + second);
  EXPECT_EQ(last, S_OK);
}

TEST(GZipWriteStreamTest, DelegateFailuresAreReportedAndStay) {
  const std::string data = Noise(40000);  // fills the 16384-byte buffer twice
  struct Case {
    int refuse_after, short_after;
    size_t size;
    HRESULT expected;
  };
  // A refused write gives S_FALSE, a short one E_FAIL; a small write only fails at Commit.
  for (const Case& c : {Case{0, 1 << 30, data.size(), S_FALSE},
                        Case{1 << 30, 0, data.size(), E_FAIL}, Case{0, 1 << 30, 5, S_OK}}) {
    FakeStream sink;
    sink.refuse_after_ = c.refuse_after;
    sink.short_after_ = c.short_after;
    GZipWriteStream stream(&sink, false);
    ULONG written = 7;
    EXPECT_EQ(stream.Write(data.data(), c.size, &written), c.expected);
    EXPECT_EQ(written, c.expected == S_OK ? c.size : 0u);
    const HRESULT failure = c.expected == S_OK ? S_FALSE : c.expected;
    EXPECT_EQ(stream.Commit(0), failure);
    sink.refuse_after_ = sink.short_after_ = 1 << 30;  // the delegate recovers: too late
    EXPECT_EQ(stream.Write("x", 1, nullptr), failure);
    EXPECT_EQ(stream.Commit(0), failure);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
