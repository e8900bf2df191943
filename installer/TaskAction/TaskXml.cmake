# Writes TaskXml.h into folder: deploy/shared/PacecapTask.xml, the task's one
# definition, as a string for the task action. Plain CMake, so that a Visual
# Studio build makes it too; a change to the file configures again.
function(pacecap_task_xml folder)
    set(source ${PROJECT_SOURCE_DIR}/deploy/shared/PacecapTask.xml)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} PACECAP_TASK_XML)
    # The line ends and indents between elements: the DLL carries every byte.
    string(REGEX REPLACE "\r?\n *" "" PACECAP_TASK_XML "${PACECAP_TASK_XML}")
    # Each placeholder as its one-character mark (TaskRules.h), a literal of
    # its own between the raw ones.
    set(mark ")pacecap\" \"\\")
    set(raw "\" R\"pacecap(")
    string(REPLACE "{KEEPER}" "${mark}1${raw}" PACECAP_TASK_XML "${PACECAP_TASK_XML}")
    string(REPLACE "{PLUGGEDIN}" "${mark}2${raw}" PACECAP_TASK_XML "${PACECAP_TASK_XML}")
    string(REPLACE "{ONBATTERY}" "${mark}3${raw}" PACECAP_TASK_XML "${PACECAP_TASK_XML}")
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TaskXml.h.in ${folder}/TaskXml.h @ONLY)
endfunction()
