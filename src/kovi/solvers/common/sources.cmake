# What every solver shares: reading targets, pose errors, joint wrapping.
set(KOVI_SOLVER_COMMON_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/targets.cpp
)
