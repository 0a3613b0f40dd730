# The closed-form solvers' sources, compiled into kovi._chain.
# The geometric subproblems stand alone (the test probe builds them too).
set(KOVI_SUBPROBLEM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/polynomial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/subproblems.cpp
)
set(KOVI_ANALYTIC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/analytic_bindings.cpp
  ${KOVI_SUBPROBLEM_SOURCES}
)
