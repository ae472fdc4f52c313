#!/bin/sh
cmake -S tools/art -B /tmp/art-build && cmake --build /tmp/art-build -j2 &&
    /tmp/art-build/makeart resources/media resources/linux/icons
