# SPDX-License-Identifier: MIT
# Gives the imported target obx_discovery::obx_discovery.
include("${CMAKE_CURRENT_LIST_DIR}/obx_discoveryTargets.cmake")
