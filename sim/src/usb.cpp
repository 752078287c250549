// The framework's USB target: device, interfaces, pipes, and the bulk-in
// URBs the driver sends down a pipe.
#include <cstring>

#include "objects.h"

namespace sim {

namespace {

std::vector<USB_ENDPOINT_DESCRIPTOR> EndpointsOf(const std::vector<UCHAR>& config, UCHAR interfaceNumber)
{
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    bool inside = false;
    for (size_t offset = 0; offset + 2 <= config.size() && config[offset] >= 2;) {
        UCHAR length = config[offset];
        UCHAR kind = config[offset + 1];
        if (offset + length > config.size()) {
            break;
        }
        if (kind == USB_INTERFACE_DESCRIPTOR_TYPE) {
            inside = config[offset + 2] == interfaceNumber && config[offset + 3] == 0;
        } else if (kind == USB_ENDPOINT_DESCRIPTOR_TYPE && inside) {
            USB_ENDPOINT_DESCRIPTOR endpoint;
            std::memcpy(&endpoint, &config[offset], sizeof endpoint);
            endpoints.push_back(endpoint);
        }
        offset += length;
    }
    return endpoints;
}

WDF_USB_PIPE_TYPE PipeTypeOf(const USB_ENDPOINT_DESCRIPTOR& endpoint)
{
    switch (endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL: return WdfUsbPipeTypeControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return WdfUsbPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK: return WdfUsbPipeTypeBulk;
    default: return WdfUsbPipeTypeInterrupt;
    }
}

void FillPipeInformation(const UsbPipeObject* pipe, PWDF_USB_PIPE_INFORMATION info)
{
    ULONG size = info->Size;
    std::memset(info, 0, sizeof *info);
    info->Size = size;
    info->MaximumPacketSize = pipe->endpoint.wMaxPacketSize;
    info->EndpointAddress = pipe->endpoint.bEndpointAddress;
    info->Interval = pipe->endpoint.bInterval;
    info->SettingIndex = 0;
    info->PipeType = PipeTypeOf(pipe->endpoint);
    info->MaximumTransferSize = 0x400000;
}

} // namespace

void SubmitToPipe(RequestObject* request, UsbPipeObject* pipe)
{
    MemoryObject* urbMemory;
    size_t offset;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        urbMemory = request->urbMemory;
        offset = request->urbOffset;
    }
    auto* urb = reinterpret_cast<PURB>(static_cast<UCHAR*>(urbMemory->buffer) + offset);
    const auto& bulk = urb->UrbBulkOrInterruptTransfer;
    const char* fault = nullptr;
    if (urbMemory->size - offset < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        fault = "URB memory smaller than a bulk-transfer URB";
    } else if (bulk.Hdr.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        fault = "URB function is not a bulk or interrupt transfer";
    } else if (bulk.Hdr.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        fault = "URB header length too small";
    } else if (bulk.PipeHandle != &pipe->wdmHandle) {
        fault = "URB names another pipe than the one the request was formatted for";
    } else if ((pipe->endpoint.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0) {
        fault = "bulk OUT URBs are not simulated";
    } else if ((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
        fault = "URB direction does not match the IN pipe";
    } else if (bulk.TransferBuffer == nullptr && bulk.TransferBufferMDL == nullptr) {
        fault = "URB has no transfer buffer";
    } else if (bulk.TransferBufferLength == 0) {
        fault = "URB transfer length is zero";
    } else if (!pipe->noMaxPacketCheck && pipe->endpoint.wMaxPacketSize != 0 &&
               bulk.TransferBufferLength % pipe->endpoint.wMaxPacketSize != 0) {
        // The framework's own check, unless the driver turned it off.
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        CompleteSentRequest(request, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        return;
    }
    if (fault != nullptr) {
        Verifier::Fail(std::string("USB stack: ") + fault);
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        CompleteSentRequest(request, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        return;
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    pipe->usb->hardware->SubmitBulkIn(request);
}

bool CancelPipeTransfer(RequestObject* request)
{
    Object* target;
    {
        std::lock_guard<std::mutex> guard(request->lock);
        target = request->sentTo;
    }
    if (target == nullptr || target->type != Type::UsbPipe) {
        return false;
    }
    auto* pipe = static_cast<UsbPipeObject*>(target);
    return pipe->usb->hardware->CancelBulkIn(request);
}

PURB UrbOf(RequestObject* request)
{
    std::lock_guard<std::mutex> guard(request->lock);
    return reinterpret_cast<PURB>(static_cast<UCHAR*>(request->urbMemory->buffer) + request->urbOffset);
}

} // namespace sim

using namespace sim;

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE *UsbDevice)
{
    // Documented contract: PASSIVE_LEVEL, from prepare-hardware or later.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceCreate");
    auto* device = As<DeviceObject>(Device, Type::Device, "WdfUsbTargetDeviceCreate");
    if (device == nullptr || UsbDevice == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDevice = nullptr;
    if (device->node == nullptr || !device->node->hardware) {
        return STATUS_NO_SUCH_DEVICE;
    }
    SIM_FALLIBLE("WdfUsbTargetDeviceCreate");
    auto* usb = new UsbDeviceObject(nullptr, device);
    usb->createdBy = "WdfUsbTargetDeviceCreate";
    usb->hardware = device->node->hardware;
    Register(usb);
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        LinkToParent(usb, device);
    }
    NTSTATUS status = ApplyAttributes(usb, Attributes, "WdfUsbTargetDeviceCreate");
    if (!NT_SUCCESS(status)) {
        DeleteObject(usb);
        return status;
    }
    *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(usb->Handle());
    return STATUS_SUCCESS;
}

WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice)
{
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceGetIoTarget");
    return usb == nullptr ? nullptr : reinterpret_cast<WDFIOTARGET>(usb->Handle());
}

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetDeviceGetDeviceDescriptor");
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (usb != nullptr && UsbDeviceDescriptor != nullptr) {
        *UsbDeviceDescriptor = usb->hardware->DeviceDescriptor();
    }
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength)
{
    // Documented contract: with no buffer, or one too small, reports the size
    // needed and returns STATUS_BUFFER_TOO_SMALL.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (usb == nullptr || ConfigDescriptorLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfUsbTargetDeviceRetrieveConfigDescriptor");
    std::vector<UCHAR> config = usb->hardware->ConfigurationDescriptor();
    USHORT needed = static_cast<USHORT>(config.size());
    if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < needed) {
        *ConfigDescriptorLength = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(ConfigDescriptor, config.data(), needed);
    *ConfigDescriptorLength = needed;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    // Documented contract: PASSIVE_LEVEL. The single-interface type fails for a
    // configuration with more than one interface. A new selection replaces the
    // interface and pipe objects of the previous one.
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceSelectConfig");
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (usb == nullptr || Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        Verifier::Fail("WdfUsbTargetDeviceSelectConfig: only the single-interface type is simulated");
        return STATUS_NOT_SUPPORTED;
    }
    SIM_FALLIBLE("WdfUsbTargetDeviceSelectConfig");
    std::vector<UCHAR> config = usb->hardware->ConfigurationDescriptor();
    if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || config[4] != 1) {
        return STATUS_INVALID_PARAMETER;
    }
    for (Object* old : usb->interfaces) {
        DeleteObject(old);
    }
    usb->interfaces.clear();
    auto* usbInterface = new UsbInterfaceObject(nullptr, usb);
    usbInterface->createdBy = "WdfUsbTargetDeviceSelectConfig";
    Register(usbInterface);
    LinkToParent(usbInterface, usb);
    for (const USB_ENDPOINT_DESCRIPTOR& endpoint : EndpointsOf(config, 0)) {
        auto* pipe = new UsbPipeObject(nullptr, usb);
        pipe->createdBy = "WdfUsbTargetDeviceSelectConfig";
        pipe->endpoint = endpoint;
        Register(pipe);
        LinkToParent(pipe, usbInterface);
        if (PipeAttributes != nullptr && PipeAttributes->ContextTypeInfo != nullptr) {
            AddContext(pipe, PipeAttributes->ContextTypeInfo, PipeAttributes->ContextSizeOverride);
        }
        usbInterface->pipes.push_back(pipe);
    }
    usb->interfaces.push_back(usbInterface);
    usb->configured = true;
    Params->Types.SingleInterface.ConfiguredUsbInterface = reinterpret_cast<WDFUSBINTERFACE>(usbInterface->Handle());
    Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(usbInterface->pipes.size());
    return STATUS_SUCCESS;
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetDeviceGetNumInterfaces");
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
    if (usb == nullptr) {
        return 0;
    }
    std::vector<UCHAR> config = usb->hardware->ConfigurationDescriptor();
    return config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? config[4] : 0;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceRetrieveInformation");
    auto* usb = As<UsbDeviceObject>(UsbDevice, Type::UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (usb == nullptr || Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfUsbTargetDeviceRetrieveInformation");
    Information->UsbdVersionInformation.USBDI_Version = 0x600;
    Information->UsbdVersionInformation.Supported_USB_Version = 0x200;
    Information->HcdPortCapabilities = 0;
    Information->Traits = usb->hardware->Traits();
    return STATUS_SUCCESS;
}

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbInterfaceGetNumConfiguredPipes");
    auto* usbInterface = As<UsbInterfaceObject>(UsbInterface, Type::UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    return usbInterface == nullptr ? 0 : static_cast<UCHAR>(usbInterface->pipes.size());
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo)
{
    // Documented contract: NULL for an index past the configured pipes.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbInterfaceGetConfiguredPipe");
    auto* usbInterface = As<UsbInterfaceObject>(UsbInterface, Type::UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    if (usbInterface == nullptr || PipeIndex >= usbInterface->pipes.size()) {
        return nullptr;
    }
    UsbPipeObject* pipe = usbInterface->pipes[PipeIndex];
    if (PipeInfo != nullptr) {
        if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
            Verifier::Fail("WdfUsbInterfaceGetConfiguredPipe: pipe information not initialised");
        } else {
            FillPipeInformation(pipe, PipeInfo);
        }
    }
    return reinterpret_cast<WDFUSBPIPE>(pipe->Handle());
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe)
{
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeGetIoTarget");
    return pipe == nullptr ? nullptr : reinterpret_cast<WDFIOTARGET>(pipe->Handle());
}

void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeGetInformation");
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeGetInformation");
    if (pipe != nullptr && PipeInformation != nullptr) {
        FillPipeInformation(pipe, PipeInformation);
    }
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe)
{
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeIsInEndpoint");
    return pipe != nullptr && (pipe->endpoint.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe)
{
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeIsOutEndpoint");
    return pipe != nullptr && (pipe->endpoint.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0;
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeWdmGetPipeHandle");
    auto* pipe = As<UsbPipeObject>(UsbPipe, Type::UsbPipe, "WdfUsbTargetPipeWdmGetPipeHandle");
    return pipe == nullptr ? nullptr : &pipe->wdmHandle;
}

void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck");
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck");
    if (pipe != nullptr) {
        pipe->noMaxPacketCheck = true;
    }
}

NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffset)
{
    // Documented contract: <= DISPATCH_LEVEL; the URB lives in the memory
    // object and is read when the request is sent.
    CheckIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeFormatRequestForUrb");
    auto* pipe = As<UsbPipeObject>(Pipe, Type::UsbPipe, "WdfUsbTargetPipeFormatRequestForUrb");
    auto* request = As<RequestObject>(Request, Type::Request, "WdfUsbTargetPipeFormatRequestForUrb");
    auto* memory = As<MemoryObject>(UrbMemory, Type::Memory, "WdfUsbTargetPipeFormatRequestForUrb");
    if (pipe == nullptr || request == nullptr || memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIM_FALLIBLE("WdfUsbTargetPipeFormatRequestForUrb");
    std::lock_guard<std::mutex> guard(request->lock);
    if (request->sendState == RequestObject::SendState::Sent) {
        Verifier::Fail("WdfUsbTargetPipeFormatRequestForUrb: request is sent");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    request->formattedPipe = pipe;
    request->urbMemory = memory;
    request->urbOffset = UrbMemoryOffset != nullptr ? UrbMemoryOffset->BufferOffset : 0;
    return STATUS_SUCCESS;
}
