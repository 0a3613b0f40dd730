# The closed-form solvers' sources, compiled into kovi._chain.
# The geometric subproblems stand alone (the test probe builds them too).
set(KOVI_SUBPROBLEM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/polynomial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/subproblems.cpp
)
set(KOVI_ANALYTIC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/analytic_bindings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/family_detection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/family_solvers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/general_search.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lane_poses.cpp
  ${CMAKE_CURRENT_LIST_DIR}/search_solvers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/solution_set.cpp
  ${KOVI_SUBPROBLEM_SOURCES}
)
# A compiler that knows cos and sin as builtins may merge a cos and a sin
# of one angle into one sincos call, which the module must not link (its
# bits are not promised to be cos's and sin's): here they stay calls.
set_source_files_properties(${KOVI_ANALYTIC_SOURCES} PROPERTIES
  COMPILE_OPTIONS "-fno-builtin-cos;-fno-builtin-sin")
