// The simulated imaging device: its descriptors, its bulk IN stream and its
// bulk OUT endpoint. The stand-in's USB stack hands it the bulk-in transfers
// the driver sends; it completes them when the test (or its own thread) says.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <usb.h>

namespace sim {

struct RequestObject;

enum class ImagerLayout {
    Standard,        // one interface: bulk IN 0x81, bulk OUT 0x02
    TwoInterfaces,   // a second interface besides the standard one
    NoBulkOut,       // one interface with a bulk IN endpoint only
    ExtraPipes,      // the standard pipes plus an interrupt IN and a second bulk IN
};

struct ImagerConfig {
    USHORT productId = 0xC001;
    bool remoteWake = true;
    bool highSpeed = true;
    ImagerLayout layout = ImagerLayout::Standard;
};

// One step of the stream, as the device will answer the next bulk-in transfer.
struct ImagerBlock {
    // FailedByStack: the stack fails the request before the device sees it,
    // and the URB is left as the driver wrote it.
    enum class Kind { Data, UsbError, Stall, EndOfStream, FailedByStack };
    Kind kind = Kind::Data;
    std::optional<ULONG> length; // Data: bytes to send; none = fill the transfer

    static ImagerBlock Data(ULONG length) { return {Kind::Data, length}; }
    static ImagerBlock Full() { return {Kind::Data, std::nullopt}; }
    static ImagerBlock Error() { return {Kind::UsbError, std::nullopt}; }
    static ImagerBlock StallOnce() { return {Kind::Stall, std::nullopt}; }
    static ImagerBlock EndOfStream() { return {Kind::EndOfStream, std::nullopt}; }
    static ImagerBlock FailedByStack() { return {Kind::FailedByStack, std::nullopt}; }
};

class ImagerDevice {
public:
    static constexpr USHORT kVendorId = 0x9E4A;
    static constexpr ULONG kEndOfStreamLength = 80;
    static constexpr UCHAR kStopByte = 0x5A;

    explicit ImagerDevice(ImagerConfig config = {});
    ~ImagerDevice();
    ImagerDevice(const ImagerDevice&) = delete;
    ImagerDevice& operator=(const ImagerDevice&) = delete;

    const ImagerConfig& Config() const { return config_; }
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const;
    std::vector<UCHAR> ConfigurationDescriptor() const;
    ULONG Traits() const; // WDF_USB_DEVICE_TRAIT_* bits

    // --- stream shaping -----------------------------------------------------
    // Blocks the device sends next, before it returns to full-length blocks.
    void Script(std::vector<ImagerBlock> blocks);
    // Length of the blocks sent once the script is used up; none = fill the transfer.
    void SetDefaultLength(std::optional<ULONG> length);
    // What the device does on the stop command: send its end-of-stream block
    // after the delay (kernel time, 100-ns units), or never.
    void SetStopAnswer(std::optional<LONGLONG> delay100ns);
    // After an end-of-stream block the device is quiet until this.
    void ResumeStream();

    // --- progress ------------------------------------------------------------
    // Completes up to maxTransfers pending bulk-in transfers, on the calling
    // thread at DISPATCH_LEVEL, and returns how many it completed.
    size_t Produce(size_t maxTransfers = SIZE_MAX);
    size_t PendingTransfers() const;
    // The next count transfers complete at once, inside WdfRequestSend, as a
    // USB stack may complete a request before the send returns.
    void CompleteOnSubmit(size_t count);
    // Lets a thread of the device's own complete transfers as they come, at
    // bytesPerSecond (0: as fast as possible) measured on the kernel clock.
    void StartStreaming(double bytesPerSecond = 0);
    void StopStreaming();

    // --- accounting ------------------------------------------------------------
    std::uint64_t DataBlocksSent() const;
    std::uint64_t BytesSent() const;
    std::uint64_t FailedTransfers() const;
    std::uint64_t EndOfStreamSent() const;
    std::vector<std::vector<UCHAR>> BulkOutReceived() const;

    // Content of data block n: its first 8 bytes carry n (little-endian); the
    // rest follows a pattern that never holds 0x5A at both offsets 48 and 49.
    static void FillBlock(std::uint64_t sequence, UCHAR* buffer, ULONG length);
    static std::optional<std::uint64_t> SequenceOf(const UCHAR* block, size_t length);
    static bool CheckBlock(const UCHAR* block, size_t length);

    // --- the USB stack's side -----------------------------------------------
    void SubmitBulkIn(RequestObject* request);
    bool CancelBulkIn(RequestObject* request); // false when it was not pending
    void ReceiveBulkOut(const UCHAR* data, size_t length);
    // Called by the stack when the device goes away: fails what is pending.
    void Disconnect();

private:
    bool CompleteOne(std::unique_lock<std::mutex>& lock);
    void StreamThread(double bytesPerSecond);

    ImagerConfig config_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<RequestObject*> pending_;
    std::deque<ImagerBlock> script_;
    std::optional<ULONG> defaultLength_;
    std::optional<LONGLONG> stopAnswer_ = 0;
    std::optional<LONGLONG> endOfStreamDue_;
    size_t completeOnSubmit_ = 0;
    bool quiet_ = false;
    std::uint64_t sequence_ = 0;
    std::uint64_t dataBlocks_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t endOfStream_ = 0;
    std::vector<std::vector<UCHAR>> bulkOut_;
    std::thread streamer_;
    bool streaming_ = false;
};

} // namespace sim
