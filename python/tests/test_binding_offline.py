"""Parts of the binding that need no supply: library search, flag decoding, error texts."""

import os
import re

import pytest

from binding_support import REPO
import k7340
from k7340.binding import library as _library
from k7340.binding.flags import FaultFlags, StatusFlags


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({"K7340_LIBRARY": "/opt/x/libk7340.so", "K7340_BUILD_DIR": "/b"}, ["/opt/x/libk7340.so"]),
        ({"K7340_BUILD_DIR": "/b"}, ["/b/lib/libk7340.so", "<repo>", "libk7340.so.2"]),
        ({}, ["<repo>", "libk7340.so.2"]),
    ],
)
def test_library_search_order(environ, expected):
    repo_lib = os.path.join(_library.REPO, "build", "linux", "lib", "libk7340.so")
    assert _library.candidates(environ) == [repo_lib if p == "<repo>" else p for p in expected]


def test_load_error_names_every_path_and_the_bitness(tmp_path):
    not_a_library = tmp_path / "libk7340.so"
    not_a_library.write_text("not a shared object")
    for environ, paths in (
        ({"K7340_LIBRARY": str(tmp_path / "missing.so")}, [str(tmp_path / "missing.so")]),
        ({"K7340_LIBRARY": str(not_a_library)}, [str(not_a_library)]),
    ):
        with pytest.raises(k7340.LibraryLoadError) as info:
            _library.load(environ)
        message = str(info.value)
        assert "%d-bit" % _library.BITS in message
        for path in paths:
            assert path in message


@pytest.mark.parametrize(
    "code, text",
    [
        (0, "No errors"),
        (-1, "Device closed"),
        (-2, "Illegal argument value"),
        (-4, "Device read failed"),
        (-8, "Invalid setpoint/meter ranges"),
        (-9, "EEPROM checksum error"),
        (-10, "COM port busy or not found"),
        (5, "System error"),
        (-11, "System error"),
    ],
)
def test_error_texts_come_from_the_library(code, text):
    assert k7340.error_text(code) == text


def test_api_version():
    assert k7340.api_version() == "2.0.0"


@pytest.mark.parametrize(
    "value, labels",
    [
        (0x00, []),
        (0x04, ["Enable"]),
        (0x14, ["Enable", "Fault"]),
        (0xFF, ["OverV", "OverI", "Enable", "EEBusy", "Fault", "OverT", "ComErr", "Reset"]),
        (0xA1, ["OverV", "OverT", "Reset"]),
    ],
)
def test_status_flags_decode(value, labels):
    flags = StatusFlags(value)
    assert int(flags) == value
    assert flags.labels() == labels


@pytest.mark.parametrize(
    "value, labels, named",
    [
        (0x88, ["DAC", "EESum"], FaultFlags.DAC | FaultFlags.EEPROM_CHECKSUM),
        (0x60, ["AdcI", "AdcV"], FaultFlags.ADC_CURRENT | FaultFlags.ADC_VOLTAGE),
        # Bits without a meaning stay in the value and label as their number.
        (0x17, ["bit 0x01", "bit 0x02", "bit 0x04", "bit 0x10"], FaultFlags(0)),
        (0x19, ["bit 0x01", "DAC", "bit 0x10"], FaultFlags.DAC),
    ],
)
def test_fault_flags_decode(value, labels, named):
    flags = FaultFlags(value)
    assert int(flags) == value
    assert flags.labels() == labels
    assert flags & 0xE8 == named


def test_decorated_names_match_the_32_bit_export_table():
    table = (REPO / "device_library" / "k7340.def").read_text()
    exported = sorted(
        line.split("=")[0].strip() for line in table.splitlines() if "= K7340_" in line
    )
    declared = sorted(_library.stdcall_name(n, args) for n, _, args in _library.PROTOTYPES)
    assert declared == exported


def _header_defines():
    text = (REPO / "device_library" / "k7340.h").read_text()
    found = re.findall(r"#define (K7340_[A-Z0-9_]+) \(?(-?(?:0x)?[0-9A-Fa-f]+)\)?", text)
    return text, {name: int(value, 0) for name, value in found}


def test_every_constant_the_package_mirrors_matches_the_header():
    from k7340.binding import calls, device, eeprom

    text, defines = _header_defines()
    mirrored = {"K7340_MAX_DEVICES": k7340.MAX_DEVICES, "K7340_OK": k7340.OK}
    for name, value in defines.items():
        for prefix, source in (
            ("K7340_ERR_", lambda n: getattr(k7340, "ERR_" + n)),
            ("K7340_STATUS_", lambda n: int(getattr(StatusFlags, n))),
            ("K7340_FAULT_", lambda n: int(getattr(FaultFlags, n))),
            ("K7340_METER_", lambda n: getattr(calls, "METER_" + n)),
        ):
            if name.startswith(prefix):
                mirrored[name] = source(name[len(prefix) :])
    assert {name: defines[name] for name in mirrored} == mirrored
    assert len([n for n in mirrored if n.startswith("K7340_STATUS_")]) == 8
    # The bounds the header states in words.
    bounds = re.search(r"\((\d+)\.\.(\d+) V, (\d+)\.\.(\d+) uA", text).groups()
    assert tuple(map(int, bounds)) == device.VRANGE_BOUNDS + device.IRANGE_BOUNDS
    assert "address 0..%d" % (eeprom.EEPROM_SIZE - 1) in text
    assert "0 (off) to %d ms" % device.WATCHDOG_MAX_MS in text


def test_the_release_version_has_one_home():
    changelog = (REPO / "debian" / "changelog").read_text().splitlines()[0]
    cmake = (REPO / "CMakeLists.txt").read_text()
    assert re.match(r"k7340 \((\S+)\)", changelog).group(1) == k7340.__version__
    assert "python/k7340/_version.py" in cmake and "VERSION ${K7340_VERSION}" in cmake
