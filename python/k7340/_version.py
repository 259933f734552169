"""The release version, in one place: CMakeLists.txt reads it for the project, pyproject.toml for
the Python package, and a test checks debian/changelog's newest entry against it. (The library's
K7340_GetApiVersion text is the interface version, not the release's.)"""

__version__ = "2.0.0"
