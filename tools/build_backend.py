"""The build backend: scikit-build-core's, named here so that a build without
it says what to install instead of failing on the import."""

try:
    from scikit_build_core.build import *  # noqa: F403
except ModuleNotFoundError as exc:
    if exc.name is None or exc.name.partition(".")[0] != "scikit_build_core":
        raise
    raise ModuleNotFoundError(
        "quernwood is built by scikit-build-core (0.11 or newer), which this Python "
        "does not have. With a package index: pip install scikit-build-core, or "
        "drop --no-build-isolation. Offline, from this checkout: "
        "make install PYTHON=/path/to/python (needs CMake, g++ and the "
        "interpreter's headers; see README's Install section).",
        name="scikit_build_core",
    ) from None
