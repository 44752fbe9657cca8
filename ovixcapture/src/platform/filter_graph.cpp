#include "platform/filter_graph.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/fault_points.h"
#include "platform/mjpeg_decoder_filter.h"

namespace ovix::platform {

bool IsPartialType(const MediaType& type) {
  return type.major == MajorType::Null || type.subtype == subtype::kNull || type.formatType == FormatKind::Null;
}

bool MatchesPartial(const MediaType& full, const MediaType& partial) {
  return (partial.major == MajorType::Null || partial.major == full.major) &&
         (partial.subtype == subtype::kNull || partial.subtype == full.subtype) &&
         (partial.formatType == FormatKind::Null || partial.formatType == full.formatType);
}

// ---- the pins of the graph's own filters ----

HRESULT GraphFilter::Run() {
  running_.store(true, std::memory_order_release);
  return S_OK;
}

HRESULT GraphFilter::Stop() {
  running_.store(false, std::memory_order_release);
  return S_OK;
}

HRESULT GraphPin::EnumMediaTypes(std::vector<MediaType>& out) {
  out.clear();
  return S_OK;
}

HRESULT GraphPin::Disconnect() {
  std::lock_guard lock(mutex_);
  if (!peer_) return S_FALSE;
  peer_ = nullptr;
  type_ = MediaType{};
  return S_OK;
}

Pin* GraphPin::ConnectedTo() { return Peer(); }

HRESULT GraphPin::ConnectionMediaType(MediaType& out) {
  std::lock_guard lock(mutex_);
  if (!peer_) {
    out = MediaType{};
    return VFW_E_NOT_CONNECTED;
  }
  out = type_;
  return S_OK;
}

Pin* GraphPin::Peer(MediaType* type) const {
  std::lock_guard lock(mutex_);
  if (type && peer_) *type = type_;
  return peer_;
}

bool GraphPin::Record(Pin& peer, const MediaType& type) {
  std::lock_guard lock(mutex_);
  if (peer_) return false;
  peer_ = &peer;
  type_ = type;
  return true;
}

HRESULT GraphInputPin::Connect(Pin&, const MediaType*) { return kVfwInvalidDirection; }

HRESULT GraphInputPin::ReceiveConnection(Pin& peer, const MediaType& type) {
  if (peer.Direction() != PinDirection::Output) return kVfwInvalidDirection;
  if (ConnectedTo()) return kVfwAlreadyConnected;
  if (QueryAccept(type) != S_OK) return kVfwTypeNotAccepted;
  return Record(peer, type) ? S_OK : kVfwAlreadyConnected;
}

HRESULT GraphOutputPin::Connect(Pin& peer, const MediaType* type) {
  if (peer.Direction() != PinDirection::Input) return kVfwInvalidDirection;
  if (ConnectedTo()) return kVfwAlreadyConnected;
  if (type && !IsPartialType(*type)) return TryType(peer, *type);

  std::vector<MediaType> candidates;
  if (Failed(EnumMediaTypes(candidates))) candidates.clear();
  std::vector<MediaType> theirs;
  if (Succeeded(peer.EnumMediaTypes(theirs))) candidates.insert(candidates.end(), theirs.begin(), theirs.end());
  for (const MediaType& candidate : candidates) {
    if (type && !MatchesPartial(candidate, *type)) continue;
    if (IsPartialType(candidate)) continue;
    if (QueryAccept(candidate) != S_OK || peer.QueryAccept(candidate) != S_OK) continue;
    if (TryType(peer, candidate) == S_OK) return S_OK;
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT GraphOutputPin::TryType(Pin& peer, const MediaType& type) {
  if (QueryAccept(type) != S_OK) return kVfwTypeNotAccepted;
  if (HRESULT hr = peer.ReceiveConnection(*this, type); Failed(hr)) return hr;
  if (!Record(peer, type)) {
    peer.Disconnect();
    return kVfwAlreadyConnected;
  }
  return S_OK;
}

HRESULT GraphOutputPin::ReceiveConnection(Pin&, const MediaType&) { return kVfwInvalidDirection; }

HRESULT GraphOutputPin::Receive(const uint8_t*, size_t, int64_t) { return kVfwInvalidDirection; }

HRESULT GraphOutputPin::Deliver(const uint8_t* data, size_t length, int64_t sampleTime) {
  Pin* peer = Peer();
  // The peer stays alive while connected: the graph holds its filter and
  // disconnects it before letting go.
  if (!peer) return VFW_E_NOT_CONNECTED;
  return peer->Receive(data, length, sampleTime);
}

// ---- the graph ----

namespace {

thread_local int t_intelligentDepth = 0;

class IntelligentScope {
 public:
  IntelligentScope() { ++t_intelligentDepth; }
  ~IntelligentScope() { --t_intelligentDepth; }
  IntelligentScope(const IntelligentScope&) = delete;
  IntelligentScope& operator=(const IntelligentScope&) = delete;
};

// Runs a call into device pins, containing a fault the device raises.
template <class Call>
HRESULT Contained(uint32_t* faultCode, Call&& call) {
  try {
    return call();
  } catch (const DeviceFault& fault) {
    if (faultCode && *faultCode == 0) *faultCode = fault.code;
    return E_UNEXPECTED;
  }
}

// Disconnects both ends of a link a failed or faulted connect may have
// left half made. Device pins may fault here too; that is swallowed since
// the caller is already reporting a failure.
void UndoLink(Pin& out, Pin& in) {
  uint32_t ignored = 0;
  Contained(&ignored, [&] {
    if (in.ConnectedTo() == &out && out.ConnectedTo() != &in) in.Disconnect();
    if (out.ConnectedTo() == &in && in.ConnectedTo() != &out) out.Disconnect();
    return S_OK;
  });
}

class FilterGraphImpl final : public FilterGraph {
 public:
  ~FilterGraphImpl() override {
    // Nothing may stream into filters that outlive the graph, nor may they
    // keep pointers to each other's pins.
    if (running_) Stop();
    for (const auto& filter : EnumFilters()) DisconnectFilter(*filter);
  }

  HRESULT AddFilter(std::shared_ptr<Filter> filter, const std::string& name) override {
    if (HRESULT hr = FaultCheck("AddFilter"); Failed(hr)) return hr;
    return Add(std::move(filter), name);
  }

  HRESULT RemoveFilter(Filter& filter) override {
    std::shared_ptr<Filter> held;
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.filter.get() == &filter; });
      if (it == entries_.end()) return E_INVALIDARG;
      held = std::move(it->filter);
      entries_.erase(it);
    }
    DisconnectFilter(*held);
    return S_OK;
  }

  std::vector<std::shared_ptr<Filter>> EnumFilters() override {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Filter>> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(e.filter);
    return out;
  }

  HRESULT ConnectDirect(Pin& out, Pin& in, const MediaType* type, uint32_t* faultCode) override {
    if (faultCode) *faultCode = 0;
    if (HRESULT hr = FaultCheck("ConnectDirect"); Failed(hr)) return hr;
    HRESULT hr = Contained(faultCode, [&] { return ConnectPins(out, in, type); });
    if (Failed(hr)) UndoLink(out, in);
    return hr;
  }

  HRESULT Connect(Pin& out, Pin& in, uint32_t* faultCode) override {
    if (faultCode) *faultCode = 0;
    if (HRESULT hr = FaultCheck("Connect"); Failed(hr)) return hr;
    IntelligentScope scope;
    std::shared_ptr<Filter> decoder;
    HRESULT hr = Contained(faultCode, [&] { return ConnectThroughDecoder(out, in, decoder); });
    if (Failed(hr)) {
      UndoLink(out, in);
      if (decoder) {
        uint32_t ignored = 0;
        Contained(&ignored, [&] {
          if (Pin* decoderIn = FirstPin(*decoder, PinDirection::Input)) UndoLink(out, *decoderIn);
          return RemoveFilter(*decoder);
        });
      }
    }
    return hr;
  }

  HRESULT Disconnect(Pin& pin) override {
    uint32_t ignored = 0;
    return Contained(&ignored, [&] { return DisconnectBoth(pin); });
  }

  HRESULT QueryMediaControl() override { return FaultCheck("QueryMediaControl"); }

  HRESULT Run() override {
    if (HRESULT hr = FaultCheck("Run"); Failed(hr)) return hr;
    const std::vector<std::shared_ptr<Filter>> order = RunOrder();
    for (size_t i = 0; i < order.size(); ++i) {
      if (HRESULT hr = order[i]->Run(); Failed(hr)) {
        for (size_t j = i; j-- > 0;) order[j]->Stop();
        return hr;
      }
    }
    running_ = true;
    return S_OK;
  }

  HRESULT Stop() override {
    std::vector<std::shared_ptr<Filter>> order = RunOrder();
    std::reverse(order.begin(), order.end());
    HRESULT result = S_OK;
    running_ = false;
    for (const auto& filter : order) {
      if (HRESULT hr = filter->Stop(); Failed(hr) && Succeeded(result)) result = hr;
    }
    return result;
  }

 private:
  struct Entry {
    std::shared_ptr<Filter> filter;
    std::string name;
  };

  HRESULT Add(std::shared_ptr<Filter> filter, const std::string& name) {
    if (!filter) return E_POINTER;
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.filter == filter) return E_INVALIDARG;
    }
    entries_.push_back({std::move(filter), name});
    return S_OK;
  }

  bool Holds(Filter& filter) {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.filter.get() == &filter; });
  }

  HRESULT ConnectPins(Pin& out, Pin& in, const MediaType* type) {
    if (out.Direction() != PinDirection::Output || in.Direction() != PinDirection::Input) return kVfwInvalidDirection;
    if (!Holds(out.Owner()) || !Holds(in.Owner())) return kVfwNotInGraph;
    const HRESULT hr = out.Connect(in, type);
    if (Failed(hr)) UndoLink(out, in);
    return hr;
  }

  // Direct first, with the pins' own choice and then each type the output
  // prefers; then through an MJPG decoder when the output offers MJPG.
  HRESULT ConnectThroughDecoder(Pin& out, Pin& in, std::shared_ptr<Filter>& decoder) {
    HRESULT hr = ConnectPins(out, in, nullptr);
    if (Succeeded(hr) || hr == kVfwInvalidDirection || hr == kVfwNotInGraph || hr == kVfwAlreadyConnected ||
        hr == kVfwNotStopped) {
      return hr;
    }

    std::vector<MediaType> offered;
    if (Failed(out.EnumMediaTypes(offered))) offered.clear();
    for (const MediaType& type : offered) {
      if (Succeeded(ConnectPins(out, in, &type))) return S_OK;
    }

    std::vector<MediaType> mjpg;
    for (const MediaType& type : offered) {
      if (type.major == MajorType::Video && type.subtype == subtype::kMJPG) mjpg.push_back(type);
    }
    if (mjpg.empty()) return VFW_E_CANNOT_CONNECT;

    decoder = MakeMjpegDecoderFilter();
    if (Failed(Add(decoder, "MJPEG Decompressor"))) return VFW_E_CANNOT_CONNECT;
    Pin* decoderIn = FirstPin(*decoder, PinDirection::Input);
    Pin* decoderOut = FirstPin(*decoder, PinDirection::Output);
    // The device's own choice first: after SetFormat it is the set format.
    hr = ConnectPins(out, *decoderIn, nullptr);
    for (size_t i = 0; Failed(hr) && i < mjpg.size(); ++i) hr = ConnectPins(out, *decoderIn, &mjpg[i]);
    if (Failed(hr)) return VFW_E_CANNOT_CONNECT;
    if (Failed(ConnectPins(*decoderOut, in, nullptr))) return VFW_E_CANNOT_CONNECT;
    return S_OK;
  }

  // The peer's record goes too, so no half link is left behind; a pin that
  // refuses (a running device) keeps both.
  static HRESULT DisconnectBoth(Pin& pin) {
    Pin* peer = pin.ConnectedTo();
    const HRESULT hr = pin.Disconnect();
    if (Failed(hr)) return hr;
    if (peer && peer->ConnectedTo() == &pin) peer->Disconnect();
    return hr;
  }

  static void DisconnectFilter(Filter& filter) {
    uint32_t ignored = 0;
    for (Pin* pin : filter.Pins()) {
      if (pin) Contained(&ignored, [&] { return DisconnectBoth(*pin); });
    }
  }

  // Downstream filters first, sources (filters without input pins) last, so
  // no buffer reaches a filter that is not running; Stop goes the other way.
  std::vector<std::shared_ptr<Filter>> RunOrder() {
    const std::vector<std::shared_ptr<Filter>> filters = EnumFilters();
    const size_t n = filters.size();
    std::vector<std::vector<size_t>> upstream(n);
    std::vector<bool> source(n, true);
    for (size_t i = 0; i < n; ++i) {
      for (Pin* pin : filters[i]->Pins()) {
        if (!pin || pin->Direction() != PinDirection::Input) continue;
        source[i] = false;
        Pin* peer = pin->ConnectedTo();
        if (!peer) continue;
        for (size_t j = 0; j < n; ++j) {
          if (filters[j].get() == &peer->Owner()) upstream[i].push_back(j);
        }
      }
    }
    // Longest path from a source; n rounds settle any acyclic graph and
    // bound a cyclic one.
    std::vector<size_t> depth(n, 0);
    for (size_t round = 0; round < n; ++round) {
      bool changed = false;
      for (size_t i = 0; i < n; ++i) {
        for (size_t j : upstream[i]) {
          if (depth[j] + 1 > depth[i] && depth[j] + 1 <= n) {
            depth[i] = depth[j] + 1;
            changed = true;
          }
        }
      }
      if (!changed) break;
    }
    std::vector<size_t> index(n);
    for (size_t i = 0; i < n; ++i) index[i] = i;
    std::stable_sort(index.begin(), index.end(), [&](size_t a, size_t b) {
      if (source[a] != source[b]) return !source[a];
      return depth[a] > depth[b];
    });
    std::vector<std::shared_ptr<Filter>> order;
    order.reserve(n);
    for (size_t i : index) order.push_back(filters[i]);
    return order;
  }

  std::mutex mutex_;  // guards entries_; never held while calling a filter
  std::vector<Entry> entries_;
  bool running_ = false;  // application thread only
};

}  // namespace

bool InIntelligentConnect() { return t_intelligentDepth > 0; }

std::unique_ptr<FilterGraph> MakeFilterGraph() { return std::make_unique<FilterGraphImpl>(); }

}  // namespace ovix::platform
