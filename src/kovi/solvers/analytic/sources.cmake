# The closed-form solvers' sources, compiled into kovi._chain.
set(KOVI_ANALYTIC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/analytic_bindings.cpp
)
