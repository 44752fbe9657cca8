// Capture devices as the platform lists them: an enumeration of device
// monikers, each with an identity string (its display name) that stays the
// same while other devices come and go, and a friendly name.
#pragma once

#include <memory>
#include <string>

#include "platform/capture_filter.h"
#include "platform/hresult.h"

namespace ovix::platform {

class CaptureMoniker {
 public:
  virtual ~CaptureMoniker() = default;
  // The device's identity string, UTF-8.
  virtual HRESULT GetDisplayName(std::string& out) = 0;
  // The "FriendlyName" of the device's property bag, UTF-8. S_FALSE when the
  // bag holds no text under that name.
  virtual HRESULT ReadFriendlyName(std::string& out) = 0;
  // Binds the device to its capture filter (BindToObject for IBaseFilter).
  virtual HRESULT BindToFilter(std::shared_ptr<Filter>& out) = 0;
};

class CaptureDeviceEnumerator {
 public:
  virtual ~CaptureDeviceEnumerator() = default;
  // S_OK with the next moniker, S_FALSE at the end of the list.
  virtual HRESULT Next(std::unique_ptr<CaptureMoniker>& out) = 0;
};

class CaptureDeviceProvider {
 public:
  virtual ~CaptureDeviceProvider() = default;
  // Stands for creating the system device enumerator and asking it for the
  // video input category. A failure leaves this provider's list empty.
  virtual HRESULT EnumerateVideoDevices(std::unique_ptr<CaptureDeviceEnumerator>& out) = 0;
};

}  // namespace ovix::platform
