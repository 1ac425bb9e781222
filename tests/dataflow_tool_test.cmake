# The dataflow tool end to end, run by ctest as
#   cmake -DTOOL=... -DPLUGIN=... -DGRAPHS=<examples/graphs> -DWORK=<scratch dir> -P <this file>
# inspect --json parsed, validate's exit codes and problem lines, run writing the PNG with
# overrides applied (asynchronously, with progress lines), a refused override and a failing node.

cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# tool(<expected exit code> <args...>): runs the tool with the plugin; output in OUT and ERR.
function(tool expected)
  execute_process(COMMAND ${TOOL} ${ARGN} --plugin ${PLUGIN} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expected)
    message(FATAL_ERROR "dataflow ${ARGN}: exit ${rc}, expected ${expected}\n${out}\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

function(expect_match text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "expected to match \"${pattern}\":\n${text}")
  endif()
endfunction()

# inspect --json: every kind with its connectors and parameters, bounds of interval parameters.
tool(0 inspect --json)
string(JSON kinds LENGTH "${OUT}" kinds)
if(NOT kinds EQUAL 7)
  message(FATAL_ERROR "inspect --json lists ${kinds} kinds, expected 7")
endif()
string(JSON kind GET "${OUT}" kinds 2)
string(JSON client GET "${kind}" clientID)
string(JSON size_type GET "${kind}" inputs 1 type)
string(JSON radius_max GET "${kind}" parameters 0 max)
if(NOT client STREQUAL "blur" OR NOT size_type STREQUAL "int2" OR NOT radius_max EQUAL 64)
  message(FATAL_ERROR "inspect --json: unexpected description of blur:\n${kind}")
endif()

# validate: 0 for the examples, 2 with one "<pointer>: <message>" line per problem.
tool(0 validate ${GRAPHS}/rings.json)
file(READ ${GRAPHS}/rings.json rings)
string(REPLACE "\"to\": \"blur.size\"" "\"to\": \"blur.imag\"" broken "${rings}")
string(REPLACE "\"radius\": 8" "\"radius\": 300" broken "${broken}")
file(WRITE ${WORK}/broken.json "${broken}")
tool(2 validate ${WORK}/broken.json)
expect_match("${ERR}" "^/nodes/1/parameters/radius: 300 is above the maximum 64\n/links/1/to: input \"blur.imag\" does not exist \\(inputs: image, size\\)\n$")

# run: the overrides reach the nodes (a 96 x 64 PNG), --save writes the document as run,
# --trace the evaluation's trace.
tool(0 run ${GRAPHS}/rings.json --async --set pattern.width=96 --set pattern.height=64
     --set write.path=${WORK}/out.png --save ${WORK}/as-run.json --trace ${WORK}/trace.json)
expect_match("${ERR}" "progress: 5/5 nodes")
expect_match("${OUT}" "\nwrite +write-png +[0-9.]+\n")
file(READ ${WORK}/out.png header LIMIT 24 HEX)
if(NOT header MATCHES "^89504e470d0a1a0a0000000d4948445200000060" OR NOT header MATCHES "00000040$")
  message(FATAL_ERROR "run did not write a 96 x 64 PNG: ${header}")
endif()
file(READ ${WORK}/as-run.json saved)
string(JSON width GET "${saved}" nodes 0 parameters width)
if(NOT width EQUAL 96)
  message(FATAL_ERROR "--save wrote width ${width}, expected 96")
endif()
file(READ ${WORK}/trace.json trace)
string(JSON events LENGTH "${trace}" traceEvents)
if(events LESS 5)
  message(FATAL_ERROR "--trace wrote ${events} events, expected one per node at least")
endif()

# A refused override is a usage problem (2); a failing node is a failed evaluation (1) that
# names the node and where it failed.
tool(2 run ${GRAPHS}/rings.json --set blur.radius=300)
expect_match("${ERR}" "^--set blur.radius=300: 300 is above the maximum 64\n$")
tool(1 run ${GRAPHS}/versions.json --set blur.faultRow=7 --set write.path=${WORK}/out.pgm)
expect_match("${ERR}" "node \"blur\" failed: examples/plugin/ImageKinds.cpp:[0-9]+: sensor fault in row 7\n")
