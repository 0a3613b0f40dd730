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
  ${CMAKE_CURRENT_LIST_DIR}/lane_poses.cpp
  ${CMAKE_CURRENT_LIST_DIR}/solution_set.cpp
  ${KOVI_SUBPROBLEM_SOURCES}
)
