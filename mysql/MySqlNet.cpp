#include "MySqlNet.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <zlib.h>

namespace v270::mysql {

namespace {
uint32_t Le24(const uint8_t* p) {
    return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}
void PutLe24(uint8_t* p, size_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}
std::string OutOfOrder(const char* where, int received, int expected) {
    return std::string(where) + ": Net packets out of order: received[" + std::to_string(received) +
           "], expected[" + std::to_string(expected) + "]";
}
} // namespace

// The buffers grow with the packets: most sessions send and keep only short
// ones (a row is mostly taken where it lies in the read-ahead).
TMySqlNet::TMySqlNet() {
    packets_.emplace_back();
    out_.SetLength(kHeaderSize);
    out_.SetPosition(kHeaderSize);
}

TMySqlNet::~TMySqlNet() {
    try {
        Close();
    } catch (...) {
    }
}

void TMySqlNet::AttachVio(std::unique_ptr<TVio> vio) {
    KeepView();
    if (vio_) vio_->Close();
    vio_ = std::move(vio);
}

void TMySqlNet::Close() {
    KeepView();
    for (auto& b : packets_)
        b.Clear();
    decomp_.Clear();
    current_ = received_ = 0;
    std::unique_ptr<TVio> vio = std::move(vio_);
    if (vio) vio->Close();
}

void TMySqlNet::CloseTransport() {
    KeepView();
    decomp_.Clear();
    if (vio_) vio_->Close();
}

// --- outgoing --------------------------------------------------------------

void TMySqlNet::NewPacket() {
    SetPacketBufferCount(1);
    out_.SetLength(kHeaderSize);
    out_.SetPosition(kHeaderSize);
}

void TMySqlNet::NewCommand() {
    seq_ = compSeq_ = 0;
    NewPacket();
}

void TMySqlNet::AppendLengthCoded(uint64_t v) {
    std::string s;
    v270::mysql::AppendLengthCoded(s, v);
    out_.Write(s.data(), s.size());
}

void TMySqlNet::AppendFiller(uint8_t b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out_.WriteByte(b);
}

void TMySqlNet::AppendNulString(std::string_view s) {
    out_.Write(s.data(), s.size());
    out_.WriteByte(0);
}

void TMySqlNet::WriteHeader(size_t payload) {
    PutLe24(out_.Data(), payload);
    out_.Data()[3] = seq_++;
}

void TMySqlNet::WriteBytes(const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t have = out_.Length() - kHeaderSize;
    bool split = false;
    // Full packets of exactly 0xFFFFFF bytes, the first completing what the
    // buffer already holds.
    while (have + n >= kMaxPacketPayload) {
        size_t take = kMaxPacketPayload - have;
        size_t top = std::min(take, Room());
        out_.SetPosition(out_.Length());
        out_.Write(p, top);
        WriteHeader(kMaxPacketPayload);
        SendRaw(out_.Data(), out_.Length());
        SendRaw(p + top, take - top);
        p += take;
        n -= take;
        have = 0;
        split = true;
        NewPacket();
    }
    if (split && n == 0) {
        SendEmptyPacket();
        return;
    }
    if (n == 0) return;
    size_t payload = have + n;
    size_t top = std::min(Room(), n);
    out_.SetPosition(out_.Length());
    out_.Write(p, top);
    if (top == n) return; // the packet stays in the buffer until FlushPacket
    WriteHeader(payload);
    SendRaw(out_.Data(), out_.Length());
    SendRaw(p + top, n - top);
    NewPacket();
    if (compress_) seq_ = compSeq_;
}

void TMySqlNet::FlushPacket() {
    if (out_.Length() <= kHeaderSize) return;
    WriteHeader(out_.Length() - kHeaderSize);
    SendRaw(out_.Data(), out_.Length());
    NewPacket();
    if (compress_) seq_ = compSeq_;
}

void TMySqlNet::SendEmptyPacket() {
    uint8_t h[4] = {0, 0, 0, seq_++};
    SendRaw(h, 4);
    if (compress_) seq_ = compSeq_;
}

void TMySqlNet::WriteExact(const uint8_t* p, size_t n) {
    if (!vio_ || vio_->Write(p, n) != n) throw Lost();
}

void TMySqlNet::SendRaw(const uint8_t* p, size_t n) {
    if (!compress_) {
        WriteExact(p, n);
        return;
    }
    compOut_.SetLength(kCompHeaderSize + n + n / 5 + 12);
    uint8_t* h = compOut_.Data();
    bool packed = false;
    if (n > kMinCompressLength) {
        uLongf destLen = n + n / 5 + 12;
        if (compress(h + kCompHeaderSize, &destLen, p, n) == Z_OK) {
            PutLe24(h, destLen);
            PutLe24(h + 4, n);
            h[3] = compSeq_;
            WriteExact(h, kCompHeaderSize + destLen);
            packed = true;
        }
    }
    if (!packed) {
        PutLe24(h, n);
        PutLe24(h + 4, 0);
        h[3] = compSeq_;
        std::memcpy(h + kCompHeaderSize, p, n);
        WriteExact(h, kCompHeaderSize + n);
    }
    ++compSeq_;
}

// --- incoming --------------------------------------------------------------

EMySqlException TMySqlNet::Lost() const {
    return EMySqlException::Make(CR_SERVER_LOST, vio_ ? vio_->LastError() : std::string());
}

void TMySqlNet::ReadDecompressed(uint8_t* p, size_t n) {
    if (n == 0) return;
    size_t done = 0;
    for (;;) {
        size_t avail = decomp_.Length() - decomp_.Position();
        size_t take = std::min(avail, n - done);
        if (take) {
            std::memcpy(p + done, decomp_.Data() + decomp_.Position(), take);
            decomp_.SetPosition(decomp_.Position() + take);
            done += take;
        }
        if (done == n) return;
        decomp_.Clear();
        size_t compLen;
        do {
            uint8_t h[kCompHeaderSize];
            ReadExact(h, kCompHeaderSize);
            if (h[3] != seq_)
                throw EMySqlException::Make(ER_NET_PACKETS_OUT_OF_ORDER,
                                            OutOfOrder("ReceiveCompHeader", h[3], seq_));
            compSeq_ = ++seq_;
            compLen = Le24(h);
            size_t plainLen = Le24(h + 4);
            size_t old = decomp_.Length();
            if (plainLen == 0) {
                ReadOnto(decomp_, compLen, ReadFrom::Wire);
            } else {
                compIn_.Clear();
                ReadOnto(compIn_, compLen, ReadFrom::Wire);
                // Deflate shrinks by at most 1032 to 1: a header that claims
                // more gets no buffer of that size.
                if (plainLen / kMaxDeflateRatio > compLen)
                    throw EMySqlException::Make(ER_NET_UNCOMPRESS_ERROR);
                decomp_.SetLength(old + plainLen);
                uLongf outLen = plainLen;
                if (uncompress(decomp_.Data() + old, &outLen, compIn_.Data(), compLen) != Z_OK ||
                    outLen != plainLen)
                    throw EMySqlException::Make(ER_NET_UNCOMPRESS_ERROR);
            }
        } while (compLen == kMaxPacketPayload);
        decomp_.SetPosition(0);
    }
}

void TMySqlNet::ReadOnto(GrowBuffer& buf, size_t n, ReadFrom from) {
    // The buffer grows with the bytes that arrive, not with the length a
    // header claims: four bytes from a peer must not cost 16 MB.
    for (size_t left = n; left > 0;) {
        const size_t piece = std::min(left, kReadPiece);
        const size_t old = buf.Length();
        buf.SetLength(old + piece);
        if (from == ReadFrom::Wire)
            ReadExact(buf.Data() + old, piece);
        else
            ReadBytes(buf.Data() + old, piece);
        left -= piece;
    }
}

size_t TMySqlNet::ReadHeader() {
    uint8_t h[kHeaderSize];
    ReadBytes(h, kHeaderSize);
    if (!compress_) {
        if (h[3] != seq_)
            throw EMySqlException::Make(ER_NET_PACKETS_OUT_OF_ORDER,
                                        OutOfOrder("ReceiveHeader", h[3], seq_));
        compSeq_ = ++seq_;
    }
    return Le24(h);
}

void TMySqlNet::ReadPacket() {
    if (first_) {
        first_ = false;
    } else if (++current_ == ring_) {
        current_ = 0;
        received_ = 0;
    }
    view_ = nullptr;
    GrowBuffer& buf = packets_[current_];
    buf.Clear();
    // A row is mostly read ahead already, header and all: taken from there
    // in one piece, and where only the last packet is kept, left there.
    if (!compress_ && vio_) {
        size_t available = 0;
        const uint8_t* ahead = vio_->ReadAhead(available);
        if (available >= kHeaderSize && ahead[3] == seq_) {
            const size_t length = Le24(ahead);
            if (length < kMaxPacketPayload && length <= available - kHeaderSize) {
                compSeq_ = ++seq_;
                const uint8_t* data = ahead + kHeaderSize;
                if (ring_ == 1) {
                    view_ = data;
                    viewLength_ = length;
                } else {
                    buf.SetLength(length);
                    if (length) std::memcpy(buf.Data(), data, length);
                    data = buf.Data();
                }
                vio_->Take(kHeaderSize + length);
                if (length > 0 && data[0] == 0xFF) CheckErrorPacket(data, length);
                ++received_;
                return;
            }
        }
    }
    size_t total = 0, len;
    do {
        len = ReadHeader();
        if (total + len > kMaxJoinedPayload) throw EMySqlException::Make(CR_NET_PACKET_TOO_LARGE);
        ReadOnto(buf, len, ReadFrom::Packets);
        total += len;
    } while (len == kMaxPacketPayload);
    if (total > 0 && buf.Data()[0] == 0xFF) CheckErrorPacket(buf.Data(), total);
    ++received_;
}

std::pair<uint8_t, size_t> TMySqlNet::SkipPacket() {
    KeepView();
    if (!skip_) skip_ = std::make_unique_for_overwrite<uint8_t[]>(kSkipBufferSize);
    uint8_t firstByte = 0;
    bool first = true;
    size_t total = 0, len;
    do {
        len = ReadHeader();
        size_t left = len;
        while (left > 0) {
            size_t piece = std::min(left, kSkipBufferSize);
            ReadBytes(skip_.get(), piece);
            if (first) {
                firstByte = skip_[0];
                first = false;
                if (firstByte == 0xFF) {
                    GrowBuffer& buf = packets_[current_];
                    buf.Clear();
                    buf.Write(skip_.get(), piece);
                    CheckErrorPacket(buf.Data(), piece);
                }
            }
            left -= piece;
        }
        total += len;
    } while (len == kMaxPacketPayload);
    return {firstByte, total};
}

void TMySqlNet::KeepView() {
    if (!view_) return;
    GrowBuffer& buf = packets_[current_];
    buf.Clear();
    buf.Write(view_, viewLength_);
    view_ = nullptr;
}

void TMySqlNet::SetPacketBufferCount(size_t n) {
    if (n == 0) throw std::invalid_argument("");
    KeepView();
    while (packets_.size() < n)
        packets_.emplace_back();
    // Buffers beyond the ring stay for the next result's column
    // definitions, up to a few; a result of thousands of columns does not
    // keep its buffers.
    const size_t keep = std::max(n, kKeptPacketBuffers);
    if (packets_.size() > keep)
        packets_.erase(packets_.begin() + static_cast<std::ptrdiff_t>(keep), packets_.end());
    ring_ = n;
    current_ = received_ = 0;
    first_ = true;
}

const GrowBuffer& TMySqlNet::GetPacket(size_t i) const {
    if (i >= received_) throw std::out_of_range("Invalid record number");
    return packets_[i];
}

} // namespace v270::mysql
