# Assembles, checks, packs and checksums the release kit, the same way on
# Linux (scripts/make-kit.sh) and on Windows (the build's `release_kit` target):
#   cmake -DKIT_DRIVER_DIR=DIR -DKIT_DOWNLOAD_TOOL_DIR=DIR -DKIT_FIRMWARE=FILE
#         -DKIT_OUT_DIR=DIR -DKIT_PROGRAM=TouchpadUpdater.exe -DKIT_CHECK=KitCheck.exe
#         [-DKIT_CHECK_EMULATOR=<command>] [-DKIT_SIGN_CERT=CERT.pfx [-DKIT_TIMESTAMP_URL=URL]]
#         [-DKIT_SIGNTOOL=signtool.exe] -P MakeKit.cmake
# The signing password comes from the environment (TOUCHPAD_SIGN_PASSWORD).
# KIT_CHECK_EMULATOR is the build's CROSSCOMPILING_EMULATOR, which runs
# KitCheck.exe under Wine in a cross build (it takes the kit's Unix path as a
# path on drive Z:).
#
# Makes <out>/TouchpadUpdater/, <out>/TouchpadUpdater-kit.zip and
# <out>/SHA256SUMS, or, on any problem, none of them: the kit is built in a
# staging folder and moved into place only once it has been checked and
# packed. Inputs are only read.
cmake_minimum_required(VERSION 3.25)

set(kitName TouchpadUpdater)
set(zipName TouchpadUpdater-kit.zip)
# Every zip entry gets this time, so that the zip depends on its contents only.
set(entryTime "2000-01-01 00:00:00 UTC")
get_filename_component(sourceDir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(problems "")

function(kit_problem text)
    list(APPEND problems "${text}")
    set(problems "${problems}" PARENT_SCOPE)
endfunction()

# Prints every problem, removes the staging folder and stops.
function(kit_refuse)
    foreach(problem IN LISTS problems)
        message(NOTICE "make-kit: ${problem}")
    endforeach()
    if(DEFINED staging)
        file(REMOVE_RECURSE "${staging}")
    endif()
    list(LENGTH problems count)
    message(FATAL_ERROR "make-kit: no kit was made (${count} problem(s), listed above)")
endfunction()

function(kit_absolute variable)
    if(NOT "${${variable}}" STREQUAL "")
        get_filename_component(path "${${variable}}" ABSOLUTE)
        set(${variable} "${path}" PARENT_SCOPE)
    endif()
endfunction()

# True when `path` is `folder` or lies below it.
function(kit_is_within result path folder)
    string(LENGTH "${folder}/" length)
    string(SUBSTRING "${path}/" 0 ${length} start)
    if(start STREQUAL "${folder}/")
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

# ---- the inputs -------------------------------------------------------------
foreach(required KIT_DRIVER_DIR KIT_DOWNLOAD_TOOL_DIR KIT_FIRMWARE KIT_OUT_DIR KIT_PROGRAM KIT_CHECK)
    if("${${required}}" STREQUAL "")
        kit_problem("${required} is not set")
    endif()
    kit_absolute(${required})
endforeach()
kit_absolute(KIT_SIGN_CERT)
if(problems)
    kit_refuse()
endif()

# Whatever an earlier run left is not the result of this one.
file(REMOVE_RECURSE "${KIT_OUT_DIR}/${kitName}" "${KIT_OUT_DIR}/${zipName}" "${KIT_OUT_DIR}/SHA256SUMS")

foreach(folder KIT_DRIVER_DIR KIT_DOWNLOAD_TOOL_DIR)
    if(NOT IS_DIRECTORY "${${folder}}")
        kit_problem("${${folder}}: not a folder")
    endif()
endforeach()
foreach(file KIT_FIRMWARE KIT_PROGRAM KIT_CHECK KIT_SIGN_CERT)
    if(NOT "${${file}}" STREQUAL "" AND (NOT EXISTS "${${file}}" OR IS_DIRECTORY "${${file}}"))
        kit_problem("${${file}}: not a file")
    endif()
endforeach()
if(problems)
    kit_refuse()
endif()
# The out folder is emptied of kits and holds the staging folder: it must not
# lie inside an input, nor an input inside what is replaced there.
set(staging "${KIT_OUT_DIR}/.${kitName}-staging")
file(REAL_PATH "${KIT_OUT_DIR}" outPath)
foreach(input KIT_DRIVER_DIR KIT_DOWNLOAD_TOOL_DIR KIT_FIRMWARE)
    file(REAL_PATH "${${input}}" inputPath)
    kit_is_within(outInInput "${outPath}" "${inputPath}")
    kit_is_within(inputInKit "${inputPath}" "${outPath}/${kitName}")
    kit_is_within(inputInStaging "${inputPath}" "${outPath}/.${kitName}-staging")
    if(outInInput OR inputInKit OR inputInStaging)
        kit_problem("${${input}}: the out folder ${KIT_OUT_DIR} and this input overlap")
    endif()
endforeach()
if(problems)
    unset(staging)
    kit_refuse()
endif()

# ---- the layout -------------------------------------------------------------
set(kit "${staging}/${kitName}")
file(MAKE_DIRECTORY "${KIT_OUT_DIR}")
file(REMOVE_RECURSE "${staging}")
file(MAKE_DIRECTORY "${kit}/Driver" "${kit}/win64" "${kit}/Firmware")

# kit_copy_file(<from> <to>)
function(kit_copy_file from to)
    file(COPY_FILE "${from}" "${to}" RESULT copied)
    if(NOT copied EQUAL 0)
        list(APPEND problems "${from}: cannot be copied into the kit: ${copied}")
        set(problems "${problems}" PARENT_SCOPE)
    endif()
endfunction()

# A glob pattern that matches the path itself, whatever characters it holds.
function(kit_glob_escape result path)
    string(REGEX REPLACE "([][*?])" "[\\1]" escaped "${path}")
    set(${result} "${escaped}" PARENT_SCOPE)
endfunction()

# Copies a whole input folder as given. The kit holds plain files with names
# Windows can take: a link or such a name is refused rather than changed.
function(kit_copy_folder from to)
    string(ASCII 1 firstControl)
    string(ASCII 31 lastControl)
    kit_glob_escape(pattern "${from}")
    file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${from}" "${pattern}/*")
    list(SORT entries)
    foreach(entry IN LISTS entries)
        if(IS_SYMLINK "${from}/${entry}")
            list(APPEND problems "${from}/${entry}: a symbolic link; the kit takes plain files and folders only")
        elseif(entry MATCHES "[<>:\"|?*\\\\]" OR entry MATCHES "[${firstControl}-${lastControl}]")
            list(APPEND problems "${from}/${entry}: a name that Windows cannot take")
        elseif(IS_DIRECTORY "${from}/${entry}")
            file(MAKE_DIRECTORY "${to}/${entry}")
        else()
            kit_copy_file("${from}/${entry}" "${to}/${entry}")
        endif()
    endforeach()
    set(problems "${problems}" PARENT_SCOPE)
endfunction()

kit_copy_file("${KIT_PROGRAM}" "${kit}/TouchpadUpdater.exe")
kit_copy_folder("${KIT_DRIVER_DIR}" "${kit}/Driver")
kit_copy_folder("${KIT_DOWNLOAD_TOOL_DIR}" "${kit}/win64")
kit_copy_file("${KIT_FIRMWARE}" "${kit}/Firmware/KestruneFirmware.dfu")
# The end user's read, with Windows line ends.
file(READ "${sourceDir}/kit/README.txt" readme)
string(REPLACE "\r\n" "\n" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE "${kit}/README.txt" "${readme}")
if(problems)
    kit_refuse()
endif()

# ---- signing ----------------------------------------------------------------
# kit_run(<what> <command>...): runs it; its output is shown only on failure.
function(kit_run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        string(STRIP "${output}" output)
        list(APPEND problems "${what} failed (${result}): ${output}")
        set(problems "${problems}" PARENT_SCOPE)
    endif()
endfunction()

# kit_sign(<file>): signs the file in place (Authenticode, SHA-256) with
# KIT_SIGN_CERT and verifies the signature, or names the problem.
function(kit_sign file)
    get_filename_component(name "${file}" NAME)
    if(CMAKE_HOST_WIN32)
        # signtool takes the password on its command line only.
        set(timestamp "")
        if(NOT "${KIT_TIMESTAMP_URL}" STREQUAL "")
            set(timestamp /tr "${KIT_TIMESTAMP_URL}" /td SHA256)
        endif()
        kit_run("${KIT_SIGN_CERT}: signing ${name}" "${KIT_SIGNTOOL}" sign /fd SHA256 /f "${KIT_SIGN_CERT}"
            /p "$ENV{TOUCHPAD_SIGN_PASSWORD}" ${timestamp} "${file}")
        if(NOT problems)
            kit_run("${KIT_SIGN_CERT}: verifying the signature of ${name}" "${KIT_SIGNTOOL}" verify /pa "${file}")
        endif()
    else()
        # The password reaches the tools through a file that only this user
        # can reach, never through a command line that others can read.
        set(secrets "${staging}/signing")
        file(MAKE_DIRECTORY "${secrets}")
        file(CHMOD "${secrets}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
        file(WRITE "${secrets}/password" "$ENV{TOUCHPAD_SIGN_PASSWORD}")
        set(timestamp "")
        if(NOT "${KIT_TIMESTAMP_URL}" STREQUAL "")
            set(timestamp -ts "${KIT_TIMESTAMP_URL}")
        endif()
        kit_run("${KIT_SIGN_CERT}: signing ${name}" "${osslsigncode}" sign -pkcs12 "${KIT_SIGN_CERT}"
            -readpass "${secrets}/password" -h sha256 ${timestamp} -in "${file}" -out "${secrets}/${name}")
        # The signature must verify against the certificates it was made with
        # (and the system's authorities, for a chain that ends there).
        if(NOT problems)
            kit_run("${KIT_SIGN_CERT}: reading its certificates" "${openssl}" pkcs12 -in "${KIT_SIGN_CERT}" -nokeys
                -passin "file:${secrets}/password" -out "${secrets}/certificates.pem")
        endif()
        if(NOT problems)
            file(READ "${secrets}/certificates.pem" certificates)
            if(EXISTS /etc/ssl/certs/ca-certificates.crt)
                file(READ /etc/ssl/certs/ca-certificates.crt authorities)
                string(APPEND certificates "\n${authorities}")
            endif()
            file(WRITE "${secrets}/trusted.pem" "${certificates}")
            kit_run("${KIT_SIGN_CERT}: verifying the signature of ${name}" "${osslsigncode}" verify
                -in "${secrets}/${name}" -CAfile "${secrets}/trusted.pem")
        endif()
        if(NOT problems)
            file(RENAME "${secrets}/${name}" "${file}")
        endif()
        file(REMOVE_RECURSE "${secrets}")
    endif()
    set(problems "${problems}" PARENT_SCOPE)
endfunction()

if(NOT "${KIT_SIGN_CERT}" STREQUAL "")
    if(CMAKE_HOST_WIN32)
        if("${KIT_SIGNTOOL}" STREQUAL "")
            find_program(KIT_SIGNTOOL signtool)
        endif()
        if(NOT KIT_SIGNTOOL)
            kit_problem("signtool not found: set KIT_SIGNTOOL to the Windows SDK's signtool.exe")
            kit_refuse()
        endif()
    else()
        find_program(osslsigncode osslsigncode)
        find_program(openssl openssl)
        if(NOT osslsigncode OR NOT openssl)
            kit_problem("signing needs osslsigncode and openssl")
            kit_refuse()
        endif()
    endif()
    kit_sign("${kit}/TouchpadUpdater.exe")
    if(problems)
        kit_refuse()
    endif()
endif()

# ---- the kit's checksums and its check --------------------------------------
kit_glob_escape(pattern "${kit}")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${kit}" "${pattern}/*")
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
    file(SHA256 "${kit}/${file}" hash)
    string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE "${kit}/SHA256SUMS.txt" "${sums}")
# The zip records each file's mode: the same for every file, whatever the
# inputs' modes or the umask.
file(CHMOD_RECURSE "${kit}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Through files, not pipes: the first Wine program of a prefix starts its
# services, which would hold a pipe open long after the checker has ended.
execute_process(COMMAND ${KIT_CHECK_EMULATOR} "${KIT_CHECK}" "${kit}"
    RESULT_VARIABLE checked OUTPUT_FILE "${staging}/check.out" ERROR_FILE "${staging}/check.err")
file(READ "${staging}/check.out" report)
file(READ "${staging}/check.err" refusals)
# The checker names the kit's files; name the inputs they came from.
function(kit_input_path result line)
    string(REGEX REPLACE "^Driver([/:])" "${KIT_DRIVER_DIR}\\1" line "${line}")
    string(REGEX REPLACE "^win64/" "${KIT_DOWNLOAD_TOOL_DIR}/" line "${line}")
    string(REGEX REPLACE "^Firmware/KestruneFirmware.dfu:" "${KIT_FIRMWARE}:" line "${line}")
    string(REGEX REPLACE "^TouchpadUpdater.exe:" "${KIT_PROGRAM}:" line "${line}")
    set(${result} "${line}" PARENT_SCOPE)
endfunction()

# Warnings do not refuse the kit, but a maintainer must see them.
function(kit_warn line)
    kit_input_path(line "${line}")
    message(NOTICE "make-kit: warning: ${line}")
endfunction()

if(NOT checked EQUAL 0)
    string(REGEX REPLACE "\r?\n$" "" refusals "${refusals}")
    string(REGEX REPLACE "\r?\n" ";" refusals "${refusals}")
    list(FILTER refusals EXCLUDE REGEX " refused: [0-9]+ problems?$")
    foreach(line IN LISTS refusals)
        string(REGEX REPLACE "^KitCheck: " "" line "${line}")
        if(line MATCHES "^warning: (.*)")
            kit_warn("${CMAKE_MATCH_1}")
        else()
            kit_input_path(line "${line}")
            kit_problem("${line}")
        endif()
    endforeach()
    if(NOT problems)
        kit_problem("${KIT_CHECK} failed (${checked})")
    endif()
    kit_refuse()
endif()

# ---- the zip ----------------------------------------------------------------
# One top folder, the files in a fixed order, one entry time, no owner.
# Debian's zip drops owners and Unix times with -X; CMake's archive writer,
# used where zip is missing (Windows), records the user id (0 there). Both
# write local times, so both run in UTC.
set(entries "")
foreach(file IN LISTS files ITEMS SHA256SUMS.txt)
    list(APPEND entries "${kitName}/${file}")
endforeach()
list(SORT entries)
list(JOIN entries "\n" entryList)
file(WRITE "${staging}/entries.txt" "${entryList}\n")
find_program(zip zip)
if(zip AND NOT CMAKE_HOST_WIN32)
    execute_process(COMMAND touch -d "${entryTime}" ${entries} WORKING_DIRECTORY "${staging}" RESULT_VARIABLE touched)
    if(touched EQUAL 0)
        kit_run("${zip}" "${CMAKE_COMMAND}" -E env TZ=UTC0 "${zip}" -X -D -q "${staging}/${zipName}" -@
            INPUT_FILE "${staging}/entries.txt" WORKING_DIRECTORY "${staging}")
    else()
        kit_problem("cannot set the entry times in ${kit}")
    endif()
else()
    kit_run("the archive" "${CMAKE_COMMAND}" -E env TZ=UTC0 "${CMAKE_COMMAND}" -E tar cf "${staging}/${zipName}"
        --format=zip "--mtime=${entryTime}" "--files-from=${staging}/entries.txt" WORKING_DIRECTORY "${staging}")
endif()
if(problems)
    kit_refuse()
endif()
file(SHA256 "${staging}/${zipName}" zipHash)
file(WRITE "${staging}/SHA256SUMS" "${zipHash}  ${zipName}\n")

# ---- into place -------------------------------------------------------------
file(RENAME "${kit}" "${KIT_OUT_DIR}/${kitName}")
file(RENAME "${staging}/${zipName}" "${KIT_OUT_DIR}/${zipName}")
file(RENAME "${staging}/SHA256SUMS" "${KIT_OUT_DIR}/SHA256SUMS")
file(REMOVE_RECURSE "${staging}")
message(STATUS "${report}")
string(REGEX MATCHALL "warning: [^\r\n]*" warnings "${report}")
foreach(warning IN LISTS warnings)
    string(REGEX REPLACE "^warning: " "" warning "${warning}")
    kit_warn("${warning}")
endforeach()
message(STATUS "Kit:      ${KIT_OUT_DIR}/${kitName}")
message(STATUS "Zip:      ${KIT_OUT_DIR}/${zipName}")
message(STATUS "SHA-256:  ${zipHash}  (${KIT_OUT_DIR}/SHA256SUMS)")
