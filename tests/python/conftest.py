"""Shared fixtures: the module, and the virtual V4L2 kernel the test run is preloaded with."""
import ctypes
import os

import pytest

import LumivexDepthCamera as ldc

PIXELS = 240 * 180


class VirtualKernel:
    """The control functions of the preloaded virtual kernel."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.lumivex_vk_configure.argtypes = [ctypes.c_char_p]
        self.lib.lumivex_vk_log.restype = ctypes.c_size_t
        self.lib.lumivex_vk_log.argtypes = [ctypes.c_char_p, ctypes.c_size_t]

    def configure(self, settings):
        assert self.lib.lumivex_vk_configure(settings.encode()) == 0, settings
        self.lib.lumivex_vk_clear_log()

    def log(self):
        size = self.lib.lumivex_vk_log(None, 0)
        text = ctypes.create_string_buffer(size + 1)
        self.lib.lumivex_vk_log(text, size + 1)
        return text.value.decode()

    def truth(self, range_m, scene="default"):
        import numpy as np
        depth = np.zeros(PIXELS, np.float32)
        amplitude = np.zeros(PIXELS, np.float32)
        pointer = ctypes.POINTER(ctypes.c_float)
        assert self.lib.lumivex_vk_scene_truth(scene.encode(), range_m, depth.ctypes.data_as(pointer),
                                               amplitude.ctypes.data_as(pointer)) == 0
        return depth.reshape(180, 240), amplitude.reshape(180, 240)

    def words(self, range_m, phase, scene="default"):
        import numpy as np
        words = np.zeros(PIXELS, np.uint16)
        assert self.lib.lumivex_vk_scene_words(scene.encode(), range_m, phase,
                                               words.ctypes.data_as(ctypes.POINTER(ctypes.c_uint16))) == 0
        return words.reshape(180, 240)

    def open_descriptors(self):
        return self.lib.lumivex_vk_open_descriptors()

    def live_mappings(self):
        return self.lib.lumivex_vk_live_mappings()


@pytest.fixture
def vkernel():
    path = os.environ.get("LUMIVEX_VKERNEL")
    if not path or path not in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("needs the virtual V4L2 kernel preloaded (ctest does this)")
    kernel = VirtualKernel(path)
    kernel.configure("platform=rpi5,fps=30")  # slack for a loaded machine
    return kernel


@pytest.fixture
def camera(vkernel):
    """An opened camera on the virtual kernel (Raspberry Pi 5 kind unless reconfigured first)."""
    cam = ldc.LumivexCamera()
    assert cam.open(ldc.TOFConnect.CSI, 0) == 0
    yield cam
    cam.stop()
    cam.close()


class VirtualUsbBus:
    """The control functions of the preloaded virtual USB bus."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.lumivex_vusb_configure.argtypes = [ctypes.c_char_p]
        self.lib.lumivex_vusb_log.restype = ctypes.c_size_t
        self.lib.lumivex_vusb_log.argtypes = [ctypes.c_char_p, ctypes.c_size_t]

    def configure(self, settings):
        assert self.lib.lumivex_vusb_configure(settings.encode()) == 0, settings
        self.lib.lumivex_vusb_clear_log()

    def log(self):
        size = self.lib.lumivex_vusb_log(None, 0)
        text = ctypes.create_string_buffer(size + 1)
        self.lib.lumivex_vusb_log(text, size + 1)
        return text.value.decode()

    def open_handles(self):
        return self.lib.lumivex_vusb_open_handles()

    def violations(self):
        return self.lib.lumivex_vusb_violations()


@pytest.fixture
def vusb():
    path = os.environ.get("LUMIVEX_VUSB")
    if not path or path not in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("needs the virtual USB bus preloaded (ctest does this)")
    bus = VirtualUsbBus(path)
    bus.configure("camera=depth,serial=ABCDEFGHIJKL")
    return bus
