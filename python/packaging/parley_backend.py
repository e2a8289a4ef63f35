"""A PEP 517 build backend: CMake builds the module, the package is zipped as a wheel."""

import base64
import io
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NAME = "parley"


def _version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(parley VERSION ([0-9.]+)", f.read()).group(1)


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: Command/response transactions with remote test units and GPIB instruments\n"
            "License: MIT\nRequires-Python: >=3.9\n" % (NAME, _version()))


def _tag():
    interpreter = "cp%d%d" % sys.version_info[:2]
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return interpreter, interpreter, platform


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _build_package(build_dir):
    jobs = str(os.cpu_count() or 1)
    subprocess.check_call([
        "cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
        "-DPARLEY_BUILD_TESTS=OFF", "-DPARLEY_BUILD_BENCH=OFF", "-DPARLEY_BUILD_PYTHON=ON",
        "-DPython3_EXECUTABLE=" + sys.executable])
    subprocess.check_call(["cmake", "--build", build_dir, "--target", "parley_python",
                           "-j", jobs])
    return os.path.join(build_dir, "python", NAME)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    tag = "-".join(_tag())
    wheel_name = "%s-%s-%s.whl" % (NAME, version, tag)
    dist_info = "%s-%s.dist-info" % (NAME, version)
    with tempfile.TemporaryDirectory(prefix="parley-wheel-") as build_dir:
        package = _build_package(build_dir)
        files = {}
        for entry in sorted(os.listdir(package)):
            path = os.path.join(package, entry)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    files["%s/%s" % (NAME, entry)] = f.read()
    files[dist_info + "/METADATA"] = _metadata().encode()
    files[dist_info + "/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: parley_backend\n"
                                   "Root-Is-Purelib: false\nTag: %s\n" % tag).encode()
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (name, digest, len(data)))
    record.append(dist_info + "/RECORD,,")
    files[dist_info + "/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    listed = subprocess.check_output(["git", "-C", ROOT, "ls-files", "-z"]).split(b"\0")
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz") as sdist:
        for name in filter(None, (n.decode() for n in listed)):
            sdist.add(os.path.join(ROOT, name), arcname="%s/%s" % (base, name))
        info = tarfile.TarInfo("%s/PKG-INFO" % base)
        data = _metadata().encode()
        info.size = len(data)

        sdist.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"
