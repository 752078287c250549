// The simulated imaging device.
#include "sim/imager.h"

#include <chrono>
#include <cstring>

#include "objects.h"

namespace sim {

PURB UrbOf(RequestObject* request);
void NoteDelay(LONGLONG interval);

ImagerDevice::ImagerDevice(ImagerConfig config) : config_(config) {}

ImagerDevice::~ImagerDevice()
{
    StopStreaming();
}

USB_DEVICE_DESCRIPTOR ImagerDevice::DeviceDescriptor() const
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    descriptor.bLength = sizeof descriptor;
    descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    descriptor.bcdUSB = 0x0200;
    descriptor.bDeviceClass = 0xFF;
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = kVendorId;
    descriptor.idProduct = config_.productId;
    descriptor.bcdDevice = 0x0100;
    descriptor.iManufacturer = 1;
    descriptor.iProduct = 2;
    descriptor.iSerialNumber = 3;
    descriptor.bNumConfigurations = 1;
    return descriptor;
}

namespace {

void AppendInterface(std::vector<UCHAR>& out, UCHAR number, UCHAR endpoints)
{
    UCHAR descriptor[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, 0xFF, 0, 0, 0};
    out.insert(out.end(), descriptor, descriptor + 9);
}

void AppendEndpoint(std::vector<UCHAR>& out, UCHAR address, UCHAR type, USHORT maxPacket, UCHAR interval = 0)
{
    UCHAR descriptor[7] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, static_cast<UCHAR>(maxPacket & 0xFF),
                           static_cast<UCHAR>(maxPacket >> 8), interval};
    out.insert(out.end(), descriptor, descriptor + 7);
}

} // namespace

std::vector<UCHAR> ImagerDevice::ConfigurationDescriptor() const
{
    USHORT bulkPacket = config_.highSpeed ? 512 : 64;
    std::vector<UCHAR> body;
    UCHAR interfaces = 1;
    switch (config_.layout) {
    case ImagerLayout::Standard:
        AppendInterface(body, 0, 2);
        AppendEndpoint(body, 0x81, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        AppendEndpoint(body, 0x02, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        break;
    case ImagerLayout::TwoInterfaces:
        AppendInterface(body, 0, 2);
        AppendEndpoint(body, 0x81, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        AppendEndpoint(body, 0x02, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        AppendInterface(body, 1, 1);
        AppendEndpoint(body, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4);
        interfaces = 2;
        break;
    case ImagerLayout::NoBulkOut:
        AppendInterface(body, 0, 1);
        AppendEndpoint(body, 0x81, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        break;
    case ImagerLayout::ExtraPipes:
        AppendInterface(body, 0, 4);
        AppendEndpoint(body, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4);
        AppendEndpoint(body, 0x84, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        AppendEndpoint(body, 0x81, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        AppendEndpoint(body, 0x02, USB_ENDPOINT_TYPE_BULK, bulkPacket);
        break;
    }
    USHORT total = static_cast<USHORT>(9 + body.size());
    UCHAR attributes = 0x80 | (config_.remoteWake ? USB_CONFIG_REMOTE_WAKEUP : 0);
    std::vector<UCHAR> out(total);
    USB_CONFIGURATION_DESCRIPTOR header{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, total, interfaces, 1, 0, attributes, 50};
    std::memcpy(out.data(), &header, sizeof header);
    std::memcpy(out.data() + sizeof header, body.data(), body.size());
    return out;
}

ULONG ImagerDevice::Traits() const
{
    return (config_.remoteWake ? WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE : 0) |
           (config_.highSpeed ? WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED : 0);
}

void ImagerDevice::Script(std::vector<ImagerBlock> blocks)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& block : blocks) {
        script_.push_back(block);
    }
    changed_.notify_all();
}

void ImagerDevice::SetDefaultLength(std::optional<ULONG> length)
{
    std::lock_guard<std::mutex> guard(lock_);
    defaultLength_ = length;
}

void ImagerDevice::SetStopAnswer(std::optional<LONGLONG> delay)
{
    std::lock_guard<std::mutex> guard(lock_);
    stopAnswer_ = delay;
}

void ImagerDevice::ResumeStream()
{
    std::lock_guard<std::mutex> guard(lock_);
    quiet_ = false;
    changed_.notify_all();
}

void ImagerDevice::FillBlock(std::uint64_t sequence, UCHAR* buffer, ULONG length)
{
    for (ULONG i = 0; i < length; i++) {
        buffer[i] = i < 8 ? static_cast<UCHAR>(sequence >> (8 * i))
                          : static_cast<UCHAR>((sequence * 131u + i) & 0xFF);
    }
    // Offsets 48 and 49 hold consecutive pattern values, never both 0x5A.
}

std::optional<std::uint64_t> ImagerDevice::SequenceOf(const UCHAR* block, size_t length)
{
    if (length < 8) {
        return std::nullopt;
    }
    std::uint64_t sequence = 0;
    for (int i = 7; i >= 0; i--) {
        sequence = (sequence << 8) | block[i];
    }
    return sequence;
}

bool ImagerDevice::CheckBlock(const UCHAR* block, size_t length)
{
    std::optional<std::uint64_t> sequence = SequenceOf(block, length);
    if (!sequence) {
        return true;
    }
    for (size_t i = 8; i < length; i++) {
        if (block[i] != static_cast<UCHAR>((*sequence * 131u + i) & 0xFF)) {
            return false;
        }
    }
    return true;
}

void ImagerDevice::SubmitBulkIn(RequestObject* request)
{
    std::unique_lock<std::mutex> lock(lock_);
    if (completeOnSubmit_ > 0) {
        completeOnSubmit_--;
        pending_.push_front(request);
        CompleteOne(lock);
        return;
    }
    pending_.push_back(request);
    changed_.notify_all();
}

void ImagerDevice::CompleteOnSubmit(size_t count)
{
    std::lock_guard<std::mutex> guard(lock_);
    completeOnSubmit_ = count;
}

bool ImagerDevice::CancelBulkIn(RequestObject* request)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        bool found = false;
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (*it == request) {
                pending_.erase(it);
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    PURB urb = UrbOf(request);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteSentRequest(request, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    return true;
}

void ImagerDevice::ReceiveBulkOut(const UCHAR* data, size_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    bulkOut_.emplace_back(data, data + length);
    bool stop = length == 32;
    for (size_t i = 0; stop && i < length; i++) {
        stop = data[i] == kStopByte;
    }
    if (stop && stopAnswer_) {
        endOfStreamDue_ = Clock::Now() + *stopAnswer_;
    }
    changed_.notify_all();
}

void ImagerDevice::Disconnect()
{
    std::deque<RequestObject*> failed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        failed.swap(pending_);
    }
    for (RequestObject* request : failed) {
        PURB urb = UrbOf(request);
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        CompleteSentRequest(request, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, 0);
    }
}

// Completes the oldest pending transfer with the next step of the stream.
// Called with the lock held; returns with it held. False when nothing could be
// completed (no transfer, or the device has nothing to say).
bool ImagerDevice::CompleteOne(std::unique_lock<std::mutex>& lock)
{
    if (pending_.empty()) {
        return false;
    }
    ImagerBlock block;
    bool endOfStream = endOfStreamDue_ && Clock::Now() >= *endOfStreamDue_;
    if (endOfStream) {
        endOfStreamDue_.reset();
        block = ImagerBlock::EndOfStream();
    } else if (!script_.empty()) {
        block = script_.front();
        script_.pop_front();
    } else if (quiet_) {
        return false;
    } else {
        block.kind = ImagerBlock::Kind::Data;
        block.length = defaultLength_;
    }
    RequestObject* request = pending_.front();
    pending_.pop_front();
    PURB urb = UrbOf(request);
    auto& bulk = urb->UrbBulkOrInterruptTransfer;
    ULONG room = bulk.TransferBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    ULONG bytes = 0;
    switch (block.kind) {
    case ImagerBlock::Kind::Data: {
        bytes = block.length ? std::min(*block.length, room) : room;
        FillBlock(sequence_++, static_cast<UCHAR*>(bulk.TransferBuffer), bytes);
        dataBlocks_++;
        bytes_ += bytes;
        break;
    }
    case ImagerBlock::Kind::EndOfStream: {
        bytes = std::min<ULONG>(kEndOfStreamLength, room);
        auto* buffer = static_cast<UCHAR*>(bulk.TransferBuffer);
        std::memset(buffer, 0, bytes);
        if (bytes > 49) {
            buffer[48] = kStopByte;
            buffer[49] = kStopByte;
        }
        endOfStream_++;
        quiet_ = true;
        break;
    }
    case ImagerBlock::Kind::UsbError:
        status = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_CRC;
        failed_++;
        break;
    case ImagerBlock::Kind::Stall:
        status = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_STALL_PID;
        failed_++;
        break;
    case ImagerBlock::Kind::FailedByStack:
        failed_++;
        lock.unlock();
        CompleteSentRequest(request, STATUS_INVALID_DEVICE_STATE, USBD_STATUS_SUCCESS, 0);
        lock.lock();
        return true;
    }
    bulk.Hdr.Status = usbd;
    bulk.TransferBufferLength = bytes;
    lock.unlock();
    CompleteSentRequest(request, status, usbd, bytes);
    lock.lock();
    return true;
}

size_t ImagerDevice::Produce(size_t maxTransfers)
{
    std::unique_lock<std::mutex> lock(lock_);
    size_t done = 0;
    while (done < maxTransfers && CompleteOne(lock)) {
        done++;
    }
    return done;
}

size_t ImagerDevice::PendingTransfers() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return pending_.size();
}

void ImagerDevice::StartStreaming(double bytesPerSecond)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (streaming_) {
        return;
    }
    streaming_ = true;
    streamer_ = std::thread([this, bytesPerSecond] { StreamThread(bytesPerSecond); });
}

void ImagerDevice::StopStreaming()
{
    std::thread streamer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        streaming_ = false;
        streamer.swap(streamer_);
        changed_.notify_all();
    }
    if (streamer.joinable()) {
        streamer.join();
    }
}

void ImagerDevice::StreamThread(double bytesPerSecond)
{
    std::unique_lock<std::mutex> lock(lock_);
    while (streaming_) {
        std::uint64_t before = bytes_;
        if (!CompleteOne(lock)) {
            // Nothing to send now; look again soon (an end-of-stream block may
            // fall due on the kernel clock).
            changed_.wait_for(lock, std::chrono::microseconds(200));
            continue;
        }
        if (bytesPerSecond > 0) {
            double seconds = static_cast<double>(bytes_ - before) / bytesPerSecond;
            lock.unlock();
            Clock::Advance(static_cast<LONGLONG>(seconds * 1e7));
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            lock.lock();
        }
    }
}

std::uint64_t ImagerDevice::DataBlocksSent() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dataBlocks_;
}

std::uint64_t ImagerDevice::BytesSent() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
}

std::uint64_t ImagerDevice::FailedTransfers() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return failed_;
}

std::uint64_t ImagerDevice::EndOfStreamSent() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return endOfStream_;
}

std::vector<std::vector<UCHAR>> ImagerDevice::BulkOutReceived() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return bulkOut_;
}

} // namespace sim
