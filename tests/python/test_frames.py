"""Frames end to end through the virtual V4L2 kernel: RAW and DEPTH at both ranges."""
import array

import numpy as np
import pytest

import LumivexDepthCamera as ldc

SPEED_OF_LIGHT = np.float32(300000000.0)
PI = np.float32(3.14159274)


def decode(words):
    """Sample words to decoded values: low 11 bits as two's complement, times 16."""
    v = (words.astype(np.int32) & 0x7FF)
    return (np.where(v >= 1024, v - 2048, v) * 16).astype(np.int16)


def reference_depth(raw, range_m):
    """An independent NumPy version of the depth computation, from a RAW frame."""
    planes = [raw.reshape(180, 4, 240)[:, k, :].astype(np.int32) for k in range(4)]
    p0, p1, p2, p3 = planes
    y, x = (p1 - p3, p2 - p0) if range_m == 2 else (p2 - p0, p3 - p1)
    phi = np.arctan2(y.astype(np.float64), x.astype(np.float64)).astype(np.float32)
    phi = np.where(phi < 0, phi + np.float32(2.0) * PI, phi).astype(np.float32)
    frequency = np.float32(75000000.0 if range_m == 2 else 37500000.0)
    t = PI * np.float32(4.0)
    t = np.float32(t * frequency)
    q = np.float32(SPEED_OF_LIGHT / t)
    depth = (q * phi).astype(np.float32)
    amplitude = (np.sqrt(y.astype(np.float64) ** 2 + x.astype(np.float64) ** 2) * 0.5).astype(np.float32)
    return depth, amplitude


def capture(camera, output, range_m):
    assert camera.setControl(ldc.TOFControl.RANG, range_m) == 0
    assert camera.start(output) == 0
    frame = camera.requestFrame(3000)
    assert frame is not None
    return frame


@pytest.mark.parametrize("platform", ["rpi5", "rpi4", "xavier", "nano"])
@pytest.mark.parametrize("range_m", [2, 4])
def test_depth_and_raw_frames_match_the_scene_and_the_reference(vkernel, platform, range_m):
    vkernel.configure(f"platform={platform},fps=30")
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.CSI, 0) == 0

    frame = capture(camera, ldc.TOFOutput.RAW, range_m)
    assert type(frame) is ldc.RawData and isinstance(frame, ldc.LumivexFrame)
    raw = frame.getRawData()
    assert raw.dtype == np.int16 and raw.shape == (180, 960) and raw.flags.c_contiguous
    for k in range(4):
        np.testing.assert_array_equal(raw[:, 240 * k:240 * (k + 1)], decode(vkernel.words(range_m, k)))
    raw_format = frame.getFramFormat()
    assert (raw_format.width, raw_format.height, raw_format.type) == (960, 180, ldc.TOFOutput.RAW)
    assert raw_format.range == range_m
    assert camera.releaseFrame(frame) == 0
    assert camera.stop() == 0

    frame = capture(camera, ldc.TOFOutput.DEPTH, range_m)
    assert type(frame) is ldc.DepthData and not hasattr(frame, "getRawData")
    depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
    assert depth.dtype == np.float32 and depth.shape == (180, 240)
    assert amplitude.dtype == np.float32 and amplitude.shape == (180, 240)
    expected_depth, expected_amplitude = reference_depth(raw, range_m)
    np.testing.assert_array_equal(depth, expected_depth)  # bit for bit
    np.testing.assert_array_equal(amplitude, expected_amplitude)
    truth_depth, truth_amplitude = vkernel.truth(range_m)
    np.testing.assert_allclose(depth, truth_depth, atol=0.02)
    np.testing.assert_allclose(amplitude, truth_amplitude, rtol=0.02, atol=16)
    depth_format = frame.getFrameFormat()
    assert (depth_format.width, depth_format.height, depth_format.type) == (240, 180, ldc.TOFOutput.DEPTH)
    assert depth_format.timestamp > 0 and depth_format.timestamp % 10 == 0
    assert depth_format.range == range_m
    with pytest.raises(AttributeError):
        depth_format.range = 6 - range_m  # what the camera measured at cannot be rewritten
    assert camera.releaseFrame(frame) == 0
    assert camera.stop() == 0 and camera.close() == 0


def test_time_stamps_advance_by_the_frame_period(camera):
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    stamps = []
    for _ in range(4):
        frame = camera.requestFrame(3000)
        stamps.append(frame.getFrameFormat().timestamp)
        camera.releaseFrame(frame)
    steps = np.diff(stamps)
    assert np.all(steps > 0)
    assert np.all(steps % 333330 == 0)  # whole periods of 1/30 s in 100 ns units


def test_arrays_are_copies_that_survive_release(camera):
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    frame = camera.requestFrame(3000)
    depth = frame.getDepthData()
    kept = depth.copy()
    depth[:] = -1.0  # writing to the array does not touch the frame
    assert np.array_equal(frame.getDepthData(), kept)
    assert camera.releaseFrame(frame) == 0
    for _ in range(5):  # later frames reuse the buffer
        later = camera.requestFrame(3000)
        camera.releaseFrame(later)
    assert np.all(depth == -1.0)
    assert np.array_equal(kept, frame_depth_of_scene(camera))


def frame_depth_of_scene(camera):
    frame = camera.requestFrame(3000)
    depth = frame.getDepthData()
    camera.releaseFrame(frame)
    return depth


def test_the_same_live_buffer_comes_back_as_the_same_object(camera):
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    first = camera.requestFrame(3000)
    assert camera.releaseFrame(first) == 0
    seen = []
    while len(seen) < 60 and not any(frame is first for frame in seen):
        frame = camera.requestFrame(3000)
        seen.append(frame)
        camera.releaseFrame(frame)
    assert any(frame is first for frame in seen)  # one of three buffers comes round again
    assert len({id(frame) for frame in seen}) <= 3


def test_format_objects_are_copies(camera):
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    frame = camera.requestFrame(3000)
    format_copy = frame.getFrameFormat()
    format_copy.width = 7
    format_copy.type = ldc.TOFOutput.AMPLITUDE
    assert frame.getFrameFormat().width == 240 and frame.getFrameFormat().type == ldc.TOFOutput.DEPTH
    for bad in (-1, 2 ** 32, "7"):
        with pytest.raises(TypeError):
            format_copy.width = bad
    with pytest.raises(TypeError):
        format_copy.type = 2
    assert format_copy.width == 7
    format_copy.timestamp = 2 ** 64 - 1
    with pytest.raises(TypeError):
        format_copy.timestamp = 2 ** 64
    camera.releaseFrame(frame)


def test_request_times_out_with_none(camera):
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    assert camera.stop() == 0
    while (frame := camera.requestFrame(0)) is not None:  # frames of the stopped stream
        camera.releaseFrame(frame)
    assert camera.requestFrame(30) is None
    assert camera.requestFrame(0) is None
    assert camera.releaseFrame(None) == -1


def test_controls_read_through_the_callers_buffer(vkernel, camera):
    value = array.array("i", [0])
    assert camera.getControl(ldc.TOFControl.RANG, value) is None
    assert value[0] == 4
    assert camera.setControl(ldc.TOFControl.RANG, 2) == 0
    assert "ioctl /dev/v4l-subdev2 VIDIOC_S_CTRL id=0x00981901 value=1" in vkernel.log()
    camera.getControl(ldc.TOFControl.RANG, value)
    assert value[0] == 2
    assert camera.setControl(ldc.TOFControl.RANG, 3) == -1
    assert camera.setControl(ldc.TOFControl.EXPOSURE, 100) == -1
    wide = np.full(3, 99, np.int32)  # the first four bytes only
    camera.getControl(ldc.TOFControl.RANG, wide)
    assert list(wide) == [2, 99, 99]
    unchanged = bytearray(b"\x07\x07\x07\x07")
    assert camera.getControl(ldc.TOFControl.EXPOSURE, unchanged) is None
    assert unchanged == bytearray(b"\x07\x07\x07\x07")
    offset = memoryview(bytearray(9))[1:]  # unaligned is fine
    camera.getControl(ldc.TOFControl.RANG, offset)
    assert int.from_bytes(offset[:4], "little") == 2
    fortran = np.full((2, 3), 99, np.int32, order="F")  # one block of memory too
    assert not fortran.flags.c_contiguous
    camera.getControl(ldc.TOFControl.RANG, fortran)
    assert fortran.ravel(order="K")[0] == 2 and fortran[0, 0] == 2
    assert (fortran.ravel(order="K")[1:] == 99).all()


def test_open_with_file_is_refused_without_a_usb_camera(camera):
    assert camera.openWithFile(None, 1.0, 0) == -1
    assert camera.openWithFile("camera.cfg", 0.0, 0) == camera.openWithFile(b"camera.cfg", 123.5, 0)
