"""Builds and runs the C++ unit tests of the value layer and query language."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_cpp_unit_tests():
    sanitize = os.environ.get("MOXAL_SANITIZE") == "1"
    coverage = os.environ.get("MOXAL_COVERAGE") == "1"  # set by tools/coverage
    variant = "cpp-tests-asan" if sanitize else "cpp-tests-coverage" if coverage else "cpp-tests"
    build = os.path.join(ROOT, "build", variant)
    bindir = os.path.dirname(sys.executable)
    cmake = os.path.join(bindir, "cmake")
    if not os.path.exists(cmake):
        cmake = "cmake"
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
    env.pop("LD_PRELOAD", None)  # the compiler must not run under the sanitizer
    configure = [cmake, "-S", ROOT, "-B", build, "-G", "Ninja",
                 "-DMOXAL_PYTHON=OFF", "-DMOXAL_TESTS=ON",
                 "-DMOXAL_SANITIZE=" + ("ON" if sanitize else "OFF"),
                 "-DMOXAL_COVERAGE=" + ("ON" if coverage else "OFF")]
    subprocess.run(configure, check=True, env=env, capture_output=True)
    subprocess.run([cmake, "--build", build], check=True, env=env, capture_output=True)
    if sanitize:
        # The unit tests free everything they make, also when an allocation
        # is made to fail: a leak is a failure here (the interpreter's are not).
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=1"
    run = subprocess.run([os.path.join(build, "moxal_tests")], env=env,
                         capture_output=True, text=True)
    print(run.stdout, run.stderr)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failures" in run.stdout
