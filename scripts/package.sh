#!/usr/bin/env bash
# Builds the Debian package ringlark_<version>_amd64.deb from a Release build in
# build-package/ and prints the folder that holds it.
#   sudo apt install ./build-package/ringlark_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# No -Werror here: g++ 12 at -O3 can warn falsely inside std::string
# (-Wrestrict), and a release build is no place to fail on a warning the test
# build accepts.
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DRINGLARK_WERROR=OFF \
  -DRINGLARK_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package --parallel "$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/ringlark_*.deb >&2
echo "$(pwd)/build-package"
