# Build-time generation from a type-library description and a module's resource table.
#
# winapi_type_library(TARGET DESCRIPTION BASENAME): generates BASENAME_i.h, BASENAME_dispatch.cpp
# and BASENAME.tlb into the target's binary directory, adds the dispatch source to TARGET and the
# directory to its include path; the .tlb path is left in ${BASENAME}_TLB.
function(winapi_type_library target description basename)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/generated)
    file(MAKE_DIRECTORY ${dir})
    add_custom_command(
        OUTPUT ${dir}/${basename}_i.h ${dir}/${basename}_dispatch.cpp ${dir}/${basename}.tlb
        COMMAND tlbgen idl ${description} ${dir} ${basename}
        DEPENDS tlbgen ${description}
        COMMENT "Type library ${basename} from its description")
    target_sources(${target} PRIVATE ${dir}/${basename}_i.h ${dir}/${basename}_dispatch.cpp)
    target_include_directories(${target} PUBLIC ${dir})
    set(${basename}_TLB ${dir}/${basename}.tlb PARENT_SCOPE)
endfunction()

# winapi_module_resources(TARGET ITEM...): ITEM is TYPE:ID:FILE or STRINGTABLE:FILE.
function(winapi_module_resources target)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/generated/${target}_resources.cpp)
    set(deps)
    foreach(item ${ARGN})
        string(REGEX REPLACE "^[^:]*:([^:]*:)?" "" file ${item})
        list(APPEND deps ${file})
    endforeach()
    add_custom_command(OUTPUT ${out}
        COMMAND tlbgen resources ${out} ${ARGN}
        DEPENDS tlbgen ${deps}
        COMMENT "Resources of ${target}")
    target_sources(${target} PRIVATE ${out})
endfunction()
