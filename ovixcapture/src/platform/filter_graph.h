// The filter graph and the pin protocol its own filters (sample grabber,
// null renderer, decoder) share. A device's pins speak the same protocol
// through the Pin interface; these bases are only the graph's side of it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/capture_graph.h"

namespace ovix::platform {

// Pin-protocol results that the common result header does not name.
inline constexpr HRESULT kVfwAlreadyConnected = MakeHr(0x80040204u);   // VFW_E_ALREADY_CONNECTED
inline constexpr HRESULT kVfwInvalidDirection = MakeHr(0x80040208u);   // VFW_E_INVALID_DIRECTION
inline constexpr HRESULT kVfwNotStopped = MakeHr(0x80040224u);         // VFW_E_NOT_STOPPED
inline constexpr HRESULT kVfwWrongState = MakeHr(0x80040227u);         // VFW_E_WRONG_STATE
inline constexpr HRESULT kVfwTypeNotAccepted = MakeHr(0x8004022Au);    // VFW_E_TYPE_NOT_ACCEPTED
inline constexpr HRESULT kVfwNotInGraph = MakeHr(0x8004025Fu);         // VFW_E_NOT_IN_GRAPH

// A type that leaves the major type, subtype or format kind open; the
// output pin completes it from the types it prefers.
bool IsPartialType(const MediaType& type);
// Whether full matches everything partial names.
bool MatchesPartial(const MediaType& full, const MediaType& partial);

std::unique_ptr<FilterGraph> MakeFilterGraph();

// A filter of the graph's own: its running state, read on the streaming
// thread, written by the graph's Run and Stop.
class GraphFilter : public Filter {
 public:
  HRESULT Run() override;
  HRESULT Stop() override;
  bool IsRunning() const { return running_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> running_{false};
};

// The connection record of one pin. It is written on the application's
// thread (connect, disconnect) and read on the streaming thread, so it is
// guarded; the guard is never held while calling another pin.
class GraphPin : public Pin {
 public:
  GraphPin(Filter& owner, PinDirection direction) : owner_(owner), direction_(direction) {}
  PinDirection Direction() const override { return direction_; }
  Filter& Owner() override { return owner_; }
  HRESULT EnumMediaTypes(std::vector<MediaType>& out) override;
  // S_FALSE when the pin was not connected.
  HRESULT Disconnect() override;
  Pin* ConnectedTo() override;
  HRESULT ConnectionMediaType(MediaType& out) override;

 protected:
  // The peer, and its type when connected; null when not.
  Pin* Peer(MediaType* type = nullptr) const;
  // False when the pin is already connected.
  bool Record(Pin& peer, const MediaType& type);

 private:
  Filter& owner_;
  const PinDirection direction_;
  mutable std::mutex mutex_;
  Pin* peer_ = nullptr;
  MediaType type_;
};

class GraphInputPin : public GraphPin {
 public:
  explicit GraphInputPin(Filter& owner) : GraphPin(owner, PinDirection::Input) {}
  HRESULT Connect(Pin& peer, const MediaType* type) override;
  HRESULT ReceiveConnection(Pin& peer, const MediaType& type) override;
};

class GraphOutputPin : public GraphPin {
 public:
  explicit GraphOutputPin(Filter& owner) : GraphPin(owner, PinDirection::Output) {}
  // Output pins: whether this pin can deliver the type.
  HRESULT QueryAccept(const MediaType& type) override = 0;
  // Agrees a type with peer: the given one when it is complete, otherwise
  // the first of this pin's types (then of the peer's) that both accept.
  HRESULT Connect(Pin& peer, const MediaType* type) override;
  HRESULT ReceiveConnection(Pin& peer, const MediaType& type) override;
  HRESULT Receive(const uint8_t* data, size_t length, int64_t sampleTime) override;

  // Hands a buffer to the connected input pin.
  HRESULT Deliver(const uint8_t* data, size_t length, int64_t sampleTime);

 private:
  HRESULT TryType(Pin& peer, const MediaType& type);
};

}  // namespace ovix::platform
