// HxUsbCameraLib: each operation is its session's (usb_camera_session.h).
#include "usb_camera_session.h"

UsbCameraLib::~UsbCameraLib() = default;

HxUsbCameraLib::HxUsbCameraLib() : session(new UsbCameraSession) {}

HxUsbCameraLib::~HxUsbCameraLib() = default;

uint32_t HxUsbCameraLib::open(LumivexCfg* cfg) { return session->open(cfg); }
uint32_t HxUsbCameraLib::close() { return session->close(); }
uint32_t HxUsbCameraLib::capture() { return session->capture(); }
uint32_t HxUsbCameraLib::read(LumivexOutData*& frame) { return session->read(frame); }
uint32_t HxUsbCameraLib::del() { return session->del(); }
uint32_t HxUsbCameraLib::flush() { return session->flush(); }
uint32_t HxUsbCameraLib::available() { return session->available(); }
uint32_t HxUsbCameraLib::writeSensorReg(uint32_t reg, uint32_t value) { return session->writeSensorReg(reg, value); }
uint32_t HxUsbCameraLib::readSensorReg(uint32_t reg, uint32_t* value) { return session->readSensorReg(reg, value); }
uint32_t HxUsbCameraLib::getSensorCfg(LumivexCfg* cfg) { return session->getSensorCfg(cfg); }
uint32_t HxUsbCameraLib::scan(unsigned int* list, unsigned short vendorId) { return session->scan(list, vendorId); }
uint32_t HxUsbCameraLib::scan(LumivexIndexinfo* list) { return session->scan(list); }
uint32_t HxUsbCameraLib::open(LumivexCfg* cfg, unsigned int index) { return session->open(cfg, index); }
uint32_t HxUsbCameraLib::beginCapture() { return session->beginCapture(); }
uint32_t HxUsbCameraLib::endCapture() { return session->endCapture(); }
uint32_t HxUsbCameraLib::shot() { return session->shot(); }
uint32_t HxUsbCameraLib::writeReg_8_8(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg_8_8(address, reg, value); }
uint32_t HxUsbCameraLib::readReg_8_8(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg_8_8(address, reg, value); }
uint32_t HxUsbCameraLib::writeReg_8_16(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg_8_16(address, reg, value); }
uint32_t HxUsbCameraLib::readReg_8_16(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg_8_16(address, reg, value); }
uint32_t HxUsbCameraLib::writeReg_16_8(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg_16_8(address, reg, value); }
uint32_t HxUsbCameraLib::readReg_16_8(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg_16_8(address, reg, value); }
uint32_t HxUsbCameraLib::writeReg_16_16(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg_16_16(address, reg, value); }
uint32_t HxUsbCameraLib::readReg_16_16(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg_16_16(address, reg, value); }
uint32_t HxUsbCameraLib::writeReg_16_32(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg_16_32(address, reg, value); }
uint32_t HxUsbCameraLib::readReg_16_32(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg_16_32(address, reg, value); }
uint32_t HxUsbCameraLib::SendVRCommand(uint8_t request, uint8_t direction, uint16_t value, uint16_t index, uint32_t length, uint8_t* buffer, uint32_t* transferred) { return session->SendVRCommand(request, direction, value, index, length, buffer, transferred); }
uint32_t HxUsbCameraLib::enableForceRead() { return session->enableForceRead(); }
uint32_t HxUsbCameraLib::disableForceRead() { return session->disableForceRead(); }
uint32_t HxUsbCameraLib::readUserData(uint16_t address, uint8_t length, uint8_t* buffer) { return session->readUserData(address, length, buffer); }
uint32_t HxUsbCameraLib::writeUserData(uint16_t address, uint8_t length, uint8_t* buffer) { return session->writeUserData(address, length, buffer); }
uint32_t HxUsbCameraLib::softTrigger() { return session->softTrigger(); }
uint32_t HxUsbCameraLib::isFrameReady() { return session->isFrameReady(); }
uint32_t HxUsbCameraLib::getSingleFrame(LumivexOutData*& frame, int32_t timeoutMs) { return session->getSingleFrame(frame, timeoutMs); }
uint32_t HxUsbCameraLib::setMode(int32_t mode) { return session->setMode(mode); }
uint32_t HxUsbCameraLib::getUsbType(uint8_t* usbType, uint8_t* speedClass) { return session->getUsbType(usbType, speedClass); }
uint32_t HxUsbCameraLib::registerCtrls(Control* controls, uint32_t count) { return session->registerCtrls(controls, count); }
uint32_t HxUsbCameraLib::setCtrl(const char* name, int64_t value, void* userData) { return session->setCtrl(name, value, userData); }
uint32_t HxUsbCameraLib::setCamCfg(LumivexCfg* cfg) { return session->setCamCfg(cfg); }
uint32_t HxUsbCameraLib::InitUsbContext(libusb_device_handle* handle, uint8_t& usbTypeOut, uint8_t index, uint8_t busNumber) { return session->InitUsbContext(handle, usbTypeOut, index, busNumber); }
uint32_t HxUsbCameraLib::InitCameraPara(LumivexCfg* cfg) { return session->InitCameraPara(cfg); }
uint32_t HxUsbCameraLib::InitVideoBuff() { return session->InitVideoBuff(); }
uint32_t HxUsbCameraLib::GetDeviceInfo() { return session->GetDeviceInfo(); }
libusb_device_handle* HxUsbCameraLib::NewCyUSBDevice(USB2DriverInfo* info) { return session->NewCyUSBDevice(info); }
uint32_t HxUsbCameraLib::detectCpld() { return session->detectCpld(); }
uint32_t HxUsbCameraLib::writeReg(uint32_t address, uint32_t reg, uint32_t value) { return session->writeReg(address, reg, value); }
uint32_t HxUsbCameraLib::readReg(uint32_t address, uint32_t reg, uint32_t* value) { return session->readReg(address, reg, value); }
uint32_t HxUsbCameraLib::CheckI2cStatus(uint8_t status, uint32_t result) { return session->CheckI2cStatus(status, result); }
void HxUsbCameraLib::read_callback(libusb_transfer* transfer) { UsbCameraSession::read_callback(transfer); }
uint32_t HxUsbCameraLib::beginCaptureOneShot(int32_t timeoutMs) { return session->beginCaptureOneShot(timeoutMs); }
uint32_t HxUsbCameraLib::cancel_libusb_transfer() { return session->cancel_libusb_transfer(); }
uint32_t HxUsbCameraLib::getSingleFrame2(LumivexOutData*& frame, int32_t timeoutMs) { return session->getSingleFrame2(frame, timeoutMs); }
uint32_t HxUsbCameraLib::clearImageFlag() { return session->clearImageFlag(); }
uint32_t HxUsbCameraLib::supportSingleMode() { return session->supportSingleMode(); }
uint32_t HxUsbCameraLib::syncTimer(bool force) { return session->syncTimer(force); }
uint32_t HxUsbCameraLib::readFrameClock(uint64_t& ticks) { return session->readFrameClock(ticks); }
uint32_t HxUsbCameraLib::captureWithin(int32_t milliseconds) { return session->captureWithin(milliseconds); }
uint32_t HxUsbCameraLib::USB_GetBufferSize(uint32_t n) { return session->USB_GetBufferSize(n); }
uint32_t HxUsbCameraLib::IsMarker(const uint8_t* packet) { return session->IsMarker(packet); }
void HxUsbCameraLib::AssignTimeStamp(const uint8_t* packet) { session->AssignTimeStamp(packet); }
uint32_t HxUsbCameraLib::DecodeFrameUseMarker(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames) { return session->DecodeFrameUseMarker(buffer, length, offset, frames); }
uint32_t HxUsbCameraLib::DecodeFrameUseUVC(uint8_t* buffer, int32_t length, uint32_t& offset, uint8_t& frames) { return session->DecodeFrameUseUVC(buffer, length, offset, frames); }
void HxUsbCameraLib::FillImagePara(LumivexCfg* slotConfig, const uint8_t* packet) { session->FillImagePara(slotConfig, packet); }
uint32_t HxUsbCameraLib::InitController() { return session->InitController(); }
uint32_t HxUsbCameraLib::getFirmwareVersion(uint32_t& version) { return session->getFirmwareVersion(version); }
