#include "platform/SerialDevice.h"

#include "SerialDeviceImpl.h"

#include <utility>

namespace platform {

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>(std::nullopt)) {}

SerialDevice::SerialDevice(DeviceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options)))
{
}

SerialDevice::~SerialDevice()
{
    if (impl_->IsOpen())
        impl_->Close();
}

bool SerialDevice::Open(std::string_view name)
{
    return impl_->Open(name);
}

bool SerialDevice::Close()
{
    return impl_->Close();
}

bool SerialDevice::IsOpen() const
{
    return impl_->IsOpen();
}

std::string SerialDevice::Path() const
{
    return impl_->Path();
}

bool SerialDevice::SetupQueues(std::uint32_t inSize, std::uint32_t outSize,
                               std::uint32_t queueBytes)
{
    return impl_->SetupQueues(inSize, outSize, queueBytes);
}

void SerialDevice::QueueSizes(std::uint32_t& inSize, std::uint32_t& outSize) const
{
    impl_->QueueSizes(inSize, outSize);
}

bool SerialDevice::GetState(DeviceControl& dcb)
{
    return impl_->GetState(dcb);
}

bool SerialDevice::SetState(const DeviceControl& dcb)
{
    return impl_->SetState(dcb);
}

bool SerialDevice::Rs485Supported()
{
    return impl_->Rs485Supported();
}

bool SerialDevice::SetMask(std::uint32_t mask)
{
    return impl_->SetMask(mask);
}

std::uint32_t SerialDevice::GetMask() const
{
    return impl_->GetMask();
}

bool SerialDevice::WaitEvent(std::uint32_t& events)
{
    return impl_->WaitEvent(events);
}

void SerialDevice::SetReceiveBatch(std::uint32_t bytes)
{
    impl_->receiveBatch_.store(bytes > 0 ? bytes : 1);
}

bool SerialDevice::CheckLines(std::uint32_t& events)
{
    return impl_->CheckLines(events);
}

std::chrono::steady_clock::time_point SerialDevice::LastArrival() const
{
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(impl_->lastArrival_.load()));
}

bool SerialDevice::Read(void* data, std::size_t count, std::size_t& got)
{
    return impl_->Read(data, count, got);
}

bool SerialDevice::WriteNow(const void* data, std::size_t count, std::size_t& written)
{
    return impl_->WriteNow(data, count, written);
}

SerialDevice::WriteOutcome SerialDevice::Write(const void* data, std::size_t count,
                                               std::size_t& written, Event* abandon)
{
    return impl_->Write(data, count, written, abandon);
}

bool SerialDevice::ClearErrors(std::uint32_t& errors, CommStatus* status, bool countOutput)
{
    return impl_->ClearErrors(errors, status, countOutput);
}

bool SerialDevice::GetModemStatus(std::uint32_t& status)
{
    return impl_->GetModemStatus(status);
}

bool SerialDevice::Escape(std::uint32_t function)
{
    return impl_->Escape(function);
}

bool SerialDevice::Purge(std::uint32_t flags)
{
    return impl_->Purge(flags);
}

bool SerialDevice::HasModemLines() const
{
    return impl_->HasModemLines();
}

} // namespace platform
