"""No sequence of calls crashes the process or touches freed memory (run under ASan too)."""
import gc
import threading
import time

import numpy as np
import pytest

import LumivexDepthCamera as ldc


def started(vkernel, output=ldc.TOFOutput.DEPTH):
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.CSI, 0) == 0
    assert camera.start(output) == 0
    return camera


def test_a_released_frame_raises_runtime_error(vkernel):
    camera = started(vkernel)
    frame = camera.requestFrame(3000)
    assert camera.releaseFrame(frame) == 0
    for method in (frame.getDepthData, frame.getAmplitudeData, frame.getFrameFormat):
        with pytest.raises(RuntimeError):
            method()
    assert camera.releaseFrame(frame) == -1
    camera.stop()


def test_a_frame_still_lent_works_after_close_restart_and_collection(vkernel):
    camera = started(vkernel)
    frame = camera.requestFrame(3000)
    depth = frame.getDepthData()
    assert camera.close() == 0
    assert np.array_equal(frame.getDepthData(), depth)  # after close
    assert camera.open(ldc.TOFConnect.CSI, 0) == 0
    assert camera.start(ldc.TOFOutput.RAW) == 0
    assert np.array_equal(frame.getDepthData(), depth)  # after a start that replaced the pool
    raw_frame = camera.requestFrame(3000)
    assert camera.releaseFrame(frame) == 0  # the replaced pool takes it back
    with pytest.raises(RuntimeError):
        frame.getDepthData()
    del camera
    gc.collect()
    assert raw_frame.getRawData().shape == (180, 960)  # after the camera was collected
    assert raw_frame.getFramFormat().width == 960


def test_a_camera_collected_while_streaming_stops_cleanly(vkernel):
    camera = started(vkernel)
    frames = [camera.requestFrame(3000) for _ in range(2)]
    del camera
    gc.collect()
    assert all(f.getDepthData().shape == (180, 240) for f in frames)
    assert vkernel.open_descriptors() == 0 and vkernel.live_mappings() == 0


def test_frames_of_another_camera_are_refused(vkernel):
    vkernel.configure("platform=rpi5,fps=120,cameras=2")
    first = started(vkernel)
    second = ldc.LumivexCamera()
    assert second.open(ldc.TOFConnect.CSI, 1) == 0
    assert second.start(ldc.TOFOutput.DEPTH) == 0
    frame = first.requestFrame(3000)
    assert second.releaseFrame(frame) == -1
    assert first.releaseFrame(frame) == 0
    first.stop(), second.stop()


def test_repeated_cycles_with_frames_held_and_dropped(vkernel):
    for cycle in range(6):
        camera = started(vkernel, ldc.TOFOutput.RAW if cycle % 2 else ldc.TOFOutput.DEPTH)
        held = [camera.requestFrame(3000) for _ in range(2)]
        camera.setControl(ldc.TOFControl.RANG, 2 if cycle % 2 else 4)
        if cycle % 3 == 0:
            camera.stop()
        if cycle % 3 == 1:
            camera.close()
        del camera
        for frame in held:
            data = frame.getRawData() if isinstance(frame, ldc.RawData) else frame.getDepthData()
            assert data.size in (172800, 43200)
    gc.collect()
    assert vkernel.open_descriptors() == 0


def test_waiting_without_limit_while_holding_every_frame_returns_none(vkernel):
    camera = started(vkernel)
    held = [camera.requestFrame(3000) for _ in range(3)]
    assert all(frame is not None for frame in held)
    assert camera.requestFrame(-1) is None  # the worker has no buffer left to fill
    for frame in held:
        assert camera.releaseFrame(frame) == 0
    assert camera.requestFrame(-1) is not None
    camera.stop()


def test_other_threads_run_while_a_call_waits(vkernel):
    vkernel.configure("platform=rpi5,fps=30,stall_after=0")  # the sensor never sends
    camera = started(vkernel)
    ticks = []
    waiting = threading.Event()
    done = threading.Event()

    def ticker():
        waiting.wait()
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.01)

    thread = threading.Thread(target=ticker)
    thread.start()
    waiting.set()
    assert camera.requestFrame(500) is None  # the interpreter lock is not held meanwhile
    done.set()
    thread.join()
    assert len(ticks) >= 5, f"the other thread ran {len(ticks)} times during a 0.5 s wait"
    camera.stop()


@pytest.mark.parametrize("ending", ["stop", "close"])
def test_stop_or_close_on_another_thread_ends_an_unbounded_wait(vkernel, ending):
    vkernel.configure("platform=rpi5,fps=30,stall_after=0")
    camera = started(vkernel)
    results = []
    waiter = threading.Thread(target=lambda: results.append(camera.requestFrame(-1)))
    waiter.start()
    time.sleep(0.2)  # well inside the wait, which never ends by itself
    assert getattr(camera, ending)() == 0
    waiter.join(timeout=30)
    assert not waiter.is_alive(), f"{ending}() left the wait running"
    assert results == [None]


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def test_cameras_dropped_with_frames_unreleased_leave_memory_flat(vkernel):
    vkernel.configure("platform=rpi5,fps=120")
    def round_trip():
        camera = started(vkernel)
        frames = [camera.requestFrame(3000) for _ in range(2)]
        assert all(frame is not None for frame in frames)
        del camera, frames  # nothing released, nothing stopped
        gc.collect()
    for _ in range(20):
        round_trip()
    before = resident_kib()
    for _ in range(180):
        round_trip()
    # About 1.4 MB a round when pools outlived their last holder.
    assert resident_kib() - before < 8 * 1024
    assert vkernel.open_descriptors() == 0 and vkernel.live_mappings() == 0


def test_numpy_missing_at_the_first_array_request_raises_import_error(vkernel):
    import os
    import subprocess
    import sys
    program = """
import sys
sys.modules["numpy"] = None  # as if NumPy were not installed
import LumivexDepthCamera as ldc
camera = ldc.LumivexCamera()
assert camera.open(ldc.TOFConnect.CSI, 0) == 0
assert camera.start(ldc.TOFOutput.DEPTH) == 0
frame = camera.requestFrame(3000)
try:
    frame.getDepthData()
except ImportError:
    print("ImportError")
print(camera.releaseFrame(frame))
camera.stop()
"""
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                            env=os.environ, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "0"]


def test_ctrl_c_ends_an_unbounded_wait_on_a_silent_camera(vkernel):
    import os
    import signal
    import subprocess
    import sys
    import time
    program = """
import sys
import LumivexDepthCamera as ldc
camera = ldc.LumivexCamera()
assert camera.open(ldc.TOFConnect.CSI, 0) == 0
assert camera.start(ldc.TOFOutput.DEPTH) == 0
try:
    print("waiting", flush=True)
    camera.requestFrame(-1)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
    camera.stop()
    sys.exit(0)
sys.exit(3)
"""
    env = dict(os.environ, LUMIVEX_SIM="stall_after=0")  # the sensor never sends
    child = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # well inside the wait, which never ends by itself
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert "KeyboardInterrupt" in out.splitlines()


def test_a_camera_that_failed_to_start_hands_out_nothing(vusb, capfd):
    vusb.configure("none")  # no board: open fails, start fails
    camera = ldc.LumivexCamera()
    assert camera.open(ldc.TOFConnect.USB, 0) == 1
    assert camera.start(ldc.TOFOutput.DEPTH) == -1
    assert all(camera.requestFrame(100) is None for _ in range(5))
    assert camera.requestFrame(-1) is None  # at once: nothing was captured since the failed start
    assert camera.stop() == -1  # nothing runs after a failed start
    capfd.readouterr()

