#pragma once

#include <cstdint>

#include "platform/xml.h"
#include "webcal/stub_stream.h"

namespace calendar_mirrow_addin {

// Reads from its delegate (not owned) and copies every byte it hands out into a DOM
// document as well, so that one pass over a feed both drives a SAX reader and fills the
// document. Read answers the delegate's own result when the delegate fails (S_FALSE
// included: compare with S_OK), and the document stream's result, or E_FAIL for a short
// write, when the copy fails. Write and Commit go to the delegate.
class DomBuilderReadStream : public StubDelegateStream {
 public:
  DomBuilderReadStream(IStream* delegate, platform::XmlDocument* document);
  // Copies into any stream that loads a document (`document_stream`, not owned).
  DomBuilderReadStream(IStream* delegate, IStream* document_stream);

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;

  // The bytes copied into the document so far (held at the largest 32-bit value).
  int32_t BytesCopied() const { return bytes_copied_; }
  // Whether a read failed in the delegate (the network or the decompression) rather than
  // in the copy.
  bool delegate_failed() const { return delegate_failed_; }

 private:
  IStream* document_stream_;
  int32_t bytes_copied_ = 0;
  bool delegate_failed_ = false;
};

}  // namespace calendar_mirrow_addin
