#include "tools/demo/tls_client.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <vector>

namespace tarvel::demo {
namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

std::string Hex(SECURITY_STATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// Schannel's credentials and the context of one connection, freed on every
// way out.
class Session {
 public:
  ~Session() {
    if (has_context_) DeleteSecurityContext(&context_);
    if (has_credentials_) FreeCredentialsHandle(&credentials_);
  }

  SECURITY_STATUS Acquire() {
    SCHANNEL_CRED cred = {};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    const SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &credentials_, &expiry);
    has_credentials_ = status == SEC_E_OK;
    return status;
  }

  // One step of the handshake: `input` holds what the server sent (none at
  // the start); `output` gets the token to send, `extra` the bytes of
  // `input` that the step did not use.
  SECURITY_STATUS Step(const std::string& host, const std::string& input, std::string* output,
                       std::string* extra) {
    std::string in_copy = input;
    SecBuffer in[2] = {{static_cast<ULONG>(in_copy.size()), SECBUFFER_TOKEN, in_copy.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    char* target = host.empty() ? nullptr : const_cast<char*>(host.c_str());
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials_, has_context_ ? &context_ : nullptr, target, kContextFlags, 0, 0,
        has_context_ ? &in_desc : nullptr, 0, has_context_ ? nullptr : &context_, &out_desc,
        &attributes, &expiry);
    has_context_ = true;
    output->clear();
    if (out.pvBuffer != nullptr) {
      output->assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
      FreeContextBuffer(out.pvBuffer);
    }
    extra->clear();
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= input.size()) {
      *extra = input.substr(input.size() - in[1].cbBuffer);
    }
    return status;
  }

  SECURITY_STATUS Encrypt(const std::string& data, std::string* record) {
    SecPkgContext_StreamSizes sizes = {};
    SECURITY_STATUS status = QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) return status;
    std::vector<char> buffer(sizes.cbHeader + data.size() + sizes.cbTrailer);
    std::copy(data.begin(), data.end(), buffer.begin() + sizes.cbHeader);
    SecBuffer parts[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, buffer.data()},
        {static_cast<ULONG>(data.size()), SECBUFFER_DATA, buffer.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, buffer.data() + sizes.cbHeader + data.size()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
    status = EncryptMessage(&context_, 0, &desc, 0);
    if (status == SEC_E_OK) {
      record->assign(buffer.data(), parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer);
    }
    return status;
  }

  // Decrypts what `pending` holds of the next records; the plain bytes go
  // to `plain`, the bytes of a record not yet whole stay in `pending`.
  SECURITY_STATUS Decrypt(std::string* pending, std::string* plain) {
    SecBuffer parts[4] = {{static_cast<ULONG>(pending->size()), SECBUFFER_DATA, pending->data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return status;
    std::string extra;
    for (const SecBuffer& part : parts) {
      if (part.BufferType == SECBUFFER_DATA) {
        plain->append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
      }
      if (part.BufferType == SECBUFFER_EXTRA) {
        extra.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
      }
    }
    *pending = extra;
    return status;
  }

 private:
  CredHandle credentials_ = {};
  CtxtHandle context_ = {};
  bool has_credentials_ = false;
  bool has_context_ = false;
};

// The socket calls of one connection through the table.
class Wire {
 public:
  Wire(const WSPPROC_TABLE& table, SOCKET s) : table_(table), s_(s) {}

  bool Send(const std::string& bytes, std::string* failed) {
    std::string copy = bytes;
    WSABUF out{static_cast<ULONG>(copy.size()), copy.data()};
    DWORD sent = 0;
    INT error = 0;
    WSATHREADID thread = {};
    if (table_.lpWSPSend(s_, &out, 1, &sent, 0, nullptr, nullptr, &thread, &error) == 0) {
      return true;
    }
    *failed = "send failed with error " + std::to_string(error);
    return false;
  }

  // Appends what arrives to `into`; false at the end of the stream or on
  // failure (then `failed` says which).
  bool Receive(std::string* into, std::string* failed) {
    char data[16384];
    WSABUF in{sizeof data, data};
    DWORD received = 0;
    DWORD flags = 0;
    INT error = 0;
    WSATHREADID thread = {};
    if (table_.lpWSPRecv(s_, &in, 1, &received, &flags, nullptr, nullptr, &thread, &error) != 0) {
      *failed = "receive failed with error " + std::to_string(error);
      return false;
    }
    into->append(data, received);
    return received != 0;
  }

 private:
  const WSPPROC_TABLE& table_;
  SOCKET s_;
};

bool Handshake(Session& session, Wire& wire, const std::string& host, std::string* pending,
               TlsFetch* fetch) {
  std::string input;
  std::string output;
  for (;;) {
    const SECURITY_STATUS status = session.Step(host, input, &output, pending);
    if (!output.empty() && !wire.Send(output, &fetch->failed)) return false;
    if (status == SEC_E_OK) return true;
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (!wire.Receive(&input, &fetch->failed)) break;
      continue;
    }
    if (status != SEC_I_CONTINUE_NEEDED) {
      fetch->failed = "the handshake failed with status " + Hex(status);
      return false;
    }
    input = *pending;
    if (input.empty() && !wire.Receive(&input, &fetch->failed)) break;
  }
  if (fetch->failed.empty()) fetch->failed = "the server ended the connection in the handshake";
  return false;
}

}  // namespace

std::string SchannelClientHello(const std::string& host) {
  Session session;
  if (session.Acquire() != SEC_E_OK) return "";
  std::string hello;
  std::string extra;
  const SECURITY_STATUS status = session.Step(host, "", &hello, &extra);
  return status == SEC_I_CONTINUE_NEEDED ? hello : "";
}

TlsFetch FetchOverTls(const WSPPROC_TABLE& table, SOCKET s, const std::string& host,
                      const std::string& request) {
  TlsFetch fetch;
  Session session;
  const SECURITY_STATUS acquired = session.Acquire();
  if (acquired != SEC_E_OK) {
    fetch.failed = "Schannel gave no credentials: status " + Hex(acquired);
    return fetch;
  }
  Wire wire(table, s);
  std::string pending;
  if (!Handshake(session, wire, host, &pending, &fetch)) return fetch;
  fetch.handshake_done = true;
  std::string record;
  const SECURITY_STATUS encrypted = session.Encrypt(request, &record);
  if (encrypted != SEC_E_OK) {
    fetch.failed = "the request was not encrypted: status " + Hex(encrypted);
    return fetch;
  }
  if (!wire.Send(record, &fetch.failed)) return fetch;
  for (;;) {
    while (!pending.empty()) {
      const SECURITY_STATUS status = session.Decrypt(&pending, &fetch.response);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status == SEC_I_CONTEXT_EXPIRED) return fetch;  // the server's close_notify
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
        fetch.failed = "a record was not decrypted: status " + Hex(status);
        return fetch;
      }
    }
    if (!wire.Receive(&pending, &fetch.failed)) return fetch;
  }
}

}  // namespace tarvel::demo
