"""The depth camera over USB, end to end through the module and the virtual USB bus."""
import os

import numpy as np
import pytest

import LumivexDepthCamera as ldc


def opened_usb(vusb, capfd):
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 0
    assert capfd.readouterr().out == "Serial: ABCD-EFGH-IJKL\n"
    return camera


@pytest.mark.parametrize("link", ["speed=super,link=short", "speed=high,link=full"])
@pytest.mark.parametrize("range_m", [2, 4])
def test_depth_over_usb_matches_the_scene(vkernel, vusb, capfd, link, range_m):
    vusb.configure("camera=depth,serial=ABCDEFGHIJKL," + link)
    camera = opened_usb(vusb, capfd)
    assert camera.setControl(ldc.TOFControl.RANG, range_m) == 0
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    frame = None
    for _ in range(3):  # the first frames may predate the range registers
        if frame is not None:
            camera.releaseFrame(frame)
        frame = camera.requestFrame(3000)
        assert frame is not None
    depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
    truth_depth, truth_amplitude = vkernel.truth(range_m)
    assert np.abs(depth - truth_depth).max() < 0.02
    assert np.abs(amplitude - truth_amplitude).max() < 0.02 * truth_amplitude.max() + 16
    assert frame.getFrameFormat().timestamp > 0
    assert camera.releaseFrame(frame) == 0
    assert camera.stop() == 0
    assert camera.close() == 0
    assert vusb.open_handles() == 0


def test_raw_frames_over_usb_carry_the_phase_samples(vkernel, vusb, capfd):
    camera = opened_usb(vusb, capfd)
    assert camera.start(ldc.TOFOutput.RAW) == 0
    frame = camera.requestFrame(3000)
    raw = frame.getRawData()
    assert raw.shape == (180, 960)
    for phase in range(4):
        words = vkernel.words(4, phase).astype(np.int32)
        expected = (np.where(words >= 1024, words - 2048, words) * 16).astype(np.int16)
        assert np.array_equal(raw[:, phase * 240:(phase + 1) * 240], expected)
    camera.releaseFrame(frame)
    camera.stop()
    camera.close()


def test_open_with_the_example_configuration_file(vkernel, vusb, capfd):
    path = os.path.join(os.environ["LUMIVEX_SOURCE_DIR"], "configparser", "examples", "lumivex_tof_240x180.cfg")
    camera = ldc.LumivexCamera()
    assert camera.openWithFile(path, 0.0, 0) == 0
    assert capfd.readouterr().out == "Serial: ABCD-EFGH-IJKL\n"
    assert camera.setControl(ldc.TOFControl.RANG, 4) == 0
    assert camera.start(ldc.TOFOutput.DEPTH) == 0
    frame = camera.requestFrame(3000)
    truth_depth, _ = vkernel.truth(4)
    assert np.abs(frame.getDepthData() - truth_depth).max() < 0.02
    camera.releaseFrame(frame)
    camera.close()


def test_no_board_and_a_bad_file_fail_with_their_warnings(vusb, capfd, tmp_path):
    vusb.configure("none")
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 1
    assert capfd.readouterr().out == "camera_init ***WARNING*** Cannot open camera.rtn_val = 65281\n"
    bad = tmp_path / "bad.cfg"
    bad.write_text("[camera]\nwidth = 240\n")
    assert camera.openWithFile(str(bad), 0.0, 0) == 1
    captured = capfd.readouterr()
    assert captured.out == ("camera_initWithFile ***WARNING*** Cannot find configuration file.\n"
                            f"camera_initWithFile ***WARNING*** {bad} was found but is not a camera configuration "
                            "file (see the line before for where)\n")
    assert captured.err == f"{bad}:3: [camera] needs width and height\n"
    camera.close()
    assert vusb.open_handles() == 0
