#pragma once

// The byte links TFP_CLOCK talks over: TCP, a serial device, a Unix socket,
// and an in-process link straight into a DeviceModel. Every wait has a time
// limit; after a link error the link is closed and stays closed.

#include "LinkProtocol.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class DeviceModel;

// Asked while a request waits: true once the operator wants the command to
// stop. Called on the link's own thread; may be empty.
using CancelCheck = std::function<bool()>;

// How long a request may still take once its command was cancelled: time for
// a terminal that answers, not for one that hangs.
inline constexpr int kCancelGraceMs = 500;

class Link {
  public:
    virtual ~Link() = default;
    // Sends a request and waits for its reply. Returns SUCCESS, or the error
    // code of a link failure (ERR_COMPORT_ERROR, ERR_WRITE_FAIL, ERR_READ_FAIL).
    // Once cancelled says so, the wait ends within kCancelGraceMs: the link
    // is closed under the request, which fails with ERR_COMPORT_ERROR.
    virtual int32_t transact(const wire::Message& request, wire::Message& reply, int timeoutMs,
                             const CancelCheck& cancelled = {}) = 0;
    virtual bool isOpen() const = 0;
    // The protocol version of the frames it writes (the terminal's, once the
    // hello told it); kMinVersion until then.
    virtual void setVersion(uint8_t) {}
};

// Each opener returns nullptr and sets *error when the link can't be opened
// within timeoutMs.
std::unique_ptr<Link> openTcpLink(const QString& host, uint16_t port, int timeoutMs,
                                  int32_t* error);
std::unique_ptr<Link> openSerialLink(const QString& device, int32_t baudRate, int32_t* error);
std::unique_ptr<Link> openLocalLink(const QString& socketPath, int timeoutMs, int32_t* error);
std::unique_ptr<Link> openInProcessLink(std::shared_ptr<DeviceModel> device, int32_t* error);
