#pragma once
// Packet layer: framing (3-byte length + sequence number), 16 MB split and
// join, a ring of received packet buffers, outgoing packet buffering and the
// compressed framing (zlib).

#include "MySqlPacket.h"
#include "MySqlVio.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace v270::mysql {

class TMySqlNet {
  public:
    static constexpr size_t kHeaderSize = 4;
    static constexpr size_t kCompHeaderSize = 7;
    static constexpr size_t kNetBufferSize = 8192;
    static constexpr size_t kMinCompressLength = 50;
    static constexpr size_t kSkipBufferSize = 65536;
    // A long packet is read this much at a time.
    static constexpr size_t kReadPiece = 65536;
    static constexpr size_t kMaxDeflateRatio = 1032;
    // Largest joined payload accepted (the maximum packet size announced at
    // login); a peer claiming more gets 2020 instead of exhausting memory.
    static constexpr size_t kMaxJoinedPayload = 0x40000000;
    // Packet buffers kept beyond the ring between results.
    static constexpr size_t kKeptPacketBuffers = 64;

    TMySqlNet();
    ~TMySqlNet();
    TMySqlNet(const TMySqlNet&) = delete;
    TMySqlNet& operator=(const TMySqlNet&) = delete;

    void AttachVio(std::unique_ptr<TVio> vio);
    // Hands the transport over without closing it (to wrap it in TLS).
    std::unique_ptr<TVio> DetachVio() {
        KeepView();
        return std::move(vio_);
    }
    TVio* Vio() const { return vio_.get(); }
    void Close();
    // Closes the transport but keeps it attached, so that every later read
    // or write fails with 2013 instead of using a stream that is out of step.
    void CloseTransport();

    // Outgoing packets.
    void NewPacket();
    void NewCommand();
    void AppendByte(uint8_t b) { out_.WriteByte(b); }
    void AppendInt16(uint16_t v) { AppendLE(v, 2); }
    void AppendInt24(uint32_t v) { AppendLE(v, 3); }
    void AppendInt32(uint32_t v) { AppendLE(v, 4); }
    void AppendInt64(uint64_t v) { AppendLE(v, 8); }
    void AppendLengthCoded(uint64_t v);
    void AppendFiller(uint8_t b, size_t n);
    void AppendNulString(std::string_view s);
    void AppendBytes(const void* p, size_t n) { out_.Write(p, n); }
    void WriteBytes(const void* p, size_t n);
    void FlushPacket();
    void SendEmptyPacket();

    // Incoming packets.
    void ReadPacket();
    // Reads and discards one packet; returns its first byte and total length.
    std::pair<uint8_t, size_t> SkipPacket();
    void SetPacketBufferCount(size_t n);
    // Buffer i of the ring, if it holds a packet received since the last reset.
    const GrowBuffer& GetPacket(size_t i) const;
    size_t ReceivedCount() const { return received_; }
    void DropLastReceived() {
        if (received_ > 0) --received_;
    }
    // The packet read last: valid until the next read (with a ring of one
    // buffer it may lie in the transport's read-ahead, not copied).
    const uint8_t* PacketData() const { return view_ ? view_ : packets_[current_].Data(); }
    size_t PacketLength() const { return view_ ? viewLength_ : packets_[current_].Length(); }
    PacketReader Reader() const { return PacketReader(PacketData(), PacketLength()); }

    bool Compress() const { return compress_; }
    void SetCompress(bool on) { compress_ = on; }
    uint8_t Sequence() const { return seq_; }
    void SetSequence(uint8_t s) { seq_ = s; }
    uint8_t CompSequence() const { return compSeq_; }
    const GrowBuffer& Outgoing() const { return out_; }
    // Start of the last piece read by SkipPacket (the whole of a short packet).
    const uint8_t* SkipData() const { return skip_.get(); }

  private:
    void AppendLE(uint64_t v, size_t bytes) {
        uint8_t b[8];
        for (size_t i = 0; i < bytes; ++i)
            b[i] = static_cast<uint8_t>(v >> (8 * i));
        out_.Write(b, bytes);
    }
    void WriteHeader(size_t payload);
    // Free room in the outgoing buffer before it reaches the net buffer size.
    size_t Room() const {
        size_t cap = kNetBufferSize + kHeaderSize;
        return out_.Length() < cap ? cap - out_.Length() : 0;
    }
    void SendRaw(const uint8_t* p, size_t n);
    void WriteExact(const uint8_t* p, size_t n);
    void ReadExact(uint8_t* p, size_t n) {
        if (n != 0 && (!vio_ || vio_->Read(p, n) != n)) throw Lost();
    }
    void ReadBytes(uint8_t* p, size_t n) {
        if (!compress_)
            ReadExact(p, n);
        else
            ReadDecompressed(p, n);
    }
    void ReadDecompressed(uint8_t* p, size_t n);
    // Reads n bytes onto the end of buf: from the wire as they are, or as
    // packet bytes (decompressed when compression is on).
    enum class ReadFrom { Wire, Packets };
    void ReadOnto(GrowBuffer& buf, size_t n, ReadFrom from);
    // Copies a packet left in the read-ahead into its buffer, before the
    // transport or the ring changes.
    void KeepView();
    size_t ReadHeader(); // returns the payload length of the next fragment
    // The error of a transport that failed, for the caller to throw (a
    // throwing helper would cost each failure more under the sanitizers).
    EMySqlException Lost() const;

    std::unique_ptr<TVio> vio_;
    std::vector<GrowBuffer> packets_;
    // Buffers of packets_ in use as the ring (the rest are kept spares).
    size_t ring_ = 1;
    // The last packet where it lies in the read-ahead, or null.
    const uint8_t* view_ = nullptr;
    size_t viewLength_ = 0;
    size_t current_ = 0;
    size_t received_ = 0;
    bool first_ = true;
    uint8_t seq_ = 0;
    uint8_t compSeq_ = 0;
    bool compress_ = false;
    GrowBuffer out_;
    GrowBuffer decomp_;
    GrowBuffer compIn_;
    GrowBuffer compOut_;
    std::unique_ptr<uint8_t[]> skip_;
};

} // namespace v270::mysql
