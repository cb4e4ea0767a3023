# find_package(Rawlift): the imported target Rawlift::rawlift (librawlift
# and its header folder).
include("${CMAKE_CURRENT_LIST_DIR}/RawliftTargets.cmake")
