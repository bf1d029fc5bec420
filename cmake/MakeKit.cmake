# Assembles, checks, packs and checksums the release kit, the same way on
# Linux (scripts/make-kit.sh) and on Windows (the build's `release_kit` target):
#   cmake -DKIT_DRIVER_DIR=DIR -DKIT_DOWNLOAD_TOOL_DIR=DIR -DKIT_FIRMWARE=FILE
#         -DKIT_OUT_DIR=DIR -DKIT_PROGRAM=TouchpadUpdater.exe -DKIT_CHECK=KitCheck.exe
#         [-DKIT_CHECK_EMULATOR=<command>] [-DKIT_SIGN_CERT=CERT.pfx [-DKIT_TIMESTAMP_URL=URL]]
#         [-DKIT_SIGNTOOL=signtool.exe] [-DKIT_VERSION=MAJOR.MINOR.BUILD] [-DKIT_MANUFACTURER=NAME]
#         -P MakeKit.cmake
# The signing password comes from the environment (TOUCHPAD_SIGN_PASSWORD).
# KIT_VERSION defaults to the version that project() states in the top
# CMakeLists.txt, KIT_MANUFACTURER to Kestrune; both are the installer
# package's.
# KIT_CHECK_EMULATOR is the build's CROSSCOMPILING_EMULATOR, which runs
# KitCheck.exe under Wine in a cross build (it takes the kit's Unix path as a
# path on drive Z:).
#
# Makes <out>/TouchpadUpdater/, <out>/TouchpadUpdater-kit.zip,
# <out>/TouchpadUpdater-kit.msi and <out>/SHA256SUMS, or, on any problem, none
# of them: the kit is built in a staging folder and moved into place only once
# it has been checked and packed. Inputs are only read.
cmake_minimum_required(VERSION 3.25)

set(kitName TouchpadUpdater)
set(zipName TouchpadUpdater-kit.zip)
set(msiName TouchpadUpdater-kit.msi)
# Windows Installer knows every version of the product by this code, and
# replaces one version with another only when both carry it: a package with
# another code would install beside the product instead. Written once; never
# change it. Every other code of the package is derived from it.
set(upgradeCode E204E057-4D4C-43C9-9314-C8EDC05AB33D)
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
file(REMOVE_RECURSE "${KIT_OUT_DIR}/${kitName}" "${KIT_OUT_DIR}/${zipName}" "${KIT_OUT_DIR}/${msiName}"
    "${KIT_OUT_DIR}/SHA256SUMS")

# The installer package's version, as Windows Installer compares them: three
# numbers, at most 255.255.65535. No leading zeros, since the product code is
# derived from the text.
if("${KIT_VERSION}" STREQUAL "")
    file(STRINGS "${sourceDir}/CMakeLists.txt" projectLine REGEX "^project\\(${kitName} VERSION ")
    string(REGEX REPLACE "^project\\(${kitName} VERSION ([^ )]*).*" "\\1" KIT_VERSION "${projectLine}")
endif()
set(number "(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)")
if(NOT KIT_VERSION MATCHES "^${number}\\.${number}\\.${number}$")
    kit_problem("version \"${KIT_VERSION}\": not MAJOR.MINOR.BUILD")
elseif(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
    kit_problem("version ${KIT_VERSION}: Windows Installer takes at most 255.255.65535")
endif()
if("${KIT_MANUFACTURER}" STREQUAL "")
    set(KIT_MANUFACTURER Kestrune)
endif()
# wixl and msibuild (msitools): Debian's packages wixl and msitools, MSYS2's
# msitools on Windows, found on PATH.
find_program(wixl wixl)
find_program(msibuild msibuild)
if(NOT wixl OR NOT msibuild)
    if(CMAKE_HOST_WIN32)
        kit_problem("wixl and msibuild not found on PATH: install MSYS2's msitools (pacman -S mingw-w64-ucrt-x86_64-msitools)")
    else()
        kit_problem("wixl and msibuild not found: install Debian's wixl and msitools (install-prerequisites.sh --kit)")
    endif()
endif()
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

# ---- the Windows Installer package ------------------------------------------
# TouchpadUpdater-kit.msi installs the checked kit folder, exactly as the zip
# holds it, into [ProgramFiles64Folder]TouchpadUpdater for the whole machine:
# a folder that only administrators can change. Nothing runs at install or
# removal: no custom action, service or shortcut. A newer version replaces an
# older one; an older one over a newer one is refused by a launch condition.
# wixl builds it from the description written here.

# kit_msi_id(<result> <path in the kit>): an identifier that Windows Installer
# takes (letters, digits, _ and ., at most 72): the path's own letters, made
# unique by a digest of the path.
function(kit_msi_id result path)
    string(REGEX REPLACE "[^A-Za-z0-9_.]" "_" readable "${path}")
    string(SUBSTRING "${readable}" 0 40 readable)
    string(SHA1 digest "${path}")
    string(SUBSTRING "${digest}" 0 16 digest)
    set(${result} "${readable}_${digest}" PARENT_SCOPE)
endfunction()

function(kit_xml_escape result text)
    string(REPLACE "&" "&amp;" text "${text}")
    string(REPLACE "<" "&lt;" text "${text}")
    string(REPLACE ">" "&gt;" text "${text}")
    string(REPLACE "\"" "&quot;" text "${text}")
    set(${result} "${text}" PARENT_SCOPE)
endfunction()

# kit_msi_folder(<result> <folder in the kit> <indent>): the folder's files,
# each the key path of a component of its own (so that a repair restores any
# one of them) with a GUID derived from its path, then its subfolders.
function(kit_msi_folder result folder indent)
    set(xml "")
    foreach(path IN LISTS msiFiles)
        get_filename_component(parent "${path}" DIRECTORY)
        if(parent STREQUAL folder)
            kit_msi_id(id "${path}")
            string(UUID guid NAMESPACE ${upgradeCode} NAME "component ${path}" TYPE SHA1 UPPER)
            kit_xml_escape(source "${path}")
            string(APPEND xml "${indent}<Component Id=\"c_${id}\" Guid=\"{${guid}}\" Win64=\"yes\">\n"
                "${indent}  <File Id=\"f_${id}\" Source=\"${source}\" KeyPath=\"yes\"/>\n${indent}</Component>\n")
        endif()
    endforeach()
    foreach(subfolder IN LISTS msiFolders)
        get_filename_component(parent "${subfolder}" DIRECTORY)
        if(parent STREQUAL folder)
            kit_msi_id(id "${subfolder}")
            get_filename_component(name "${subfolder}" NAME)
            kit_xml_escape(name "${name}")
            kit_msi_folder(inner "${subfolder}" "${indent}  ")
            string(APPEND xml "${indent}<Directory Id=\"d_${id}\" Name=\"${name}\">\n${inner}${indent}</Directory>\n")
        endif()
    endforeach()
    set(${result} "${xml}" PARENT_SCOPE)
endfunction()

set(msiFiles ${files} SHA256SUMS.txt)
list(SORT msiFiles)
set(msiFolders "")
set(featureXml "")
foreach(path IN LISTS msiFiles)
    # wixl takes $ in a name for the start of a variable, and drops it.
    if(path MATCHES "\\$")
        kit_input_path(line "${path}: wixl cannot take a name with a $ in it")
        kit_problem("${line}")
    endif()
    kit_msi_id(id "${path}")
    string(APPEND featureXml "      <ComponentRef Id=\"c_${id}\"/>\n")
    get_filename_component(folder "${path}" DIRECTORY)
    while(NOT folder STREQUAL "")
        list(APPEND msiFolders "${folder}")
        get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
endforeach()
list(REMOVE_DUPLICATES msiFolders)
list(SORT msiFolders)
if(problems)
    kit_refuse()
endif()
kit_msi_folder(folderXml "" "          ")
kit_xml_escape(manufacturer "${KIT_MANUFACTURER}")
string(UUID productCode NAMESPACE ${upgradeCode} NAME "product ${KIT_VERSION}" TYPE SHA1 UPPER)
string(CONCAT wxs
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
    "  <Product Id=\"{${productCode}}\" Name=\"${kitName}\" Language=\"1033\" Version=\"${KIT_VERSION}\"\n"
    "           Manufacturer=\"${manufacturer}\" UpgradeCode=\"{${upgradeCode}}\">\n"
    "    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\"/>\n"
    "    <MajorUpgrade DowngradeErrorMessage=\"A newer version of ${kitName} is already installed.\"/>\n"
    "    <Media Id=\"1\" Cabinet=\"${kitName}.cab\" EmbedCab=\"yes\"/>\n"
    "    <!-- One feature: nothing to change in Installed apps, only to repair or remove. -->\n"
    "    <Property Id=\"ARPNOMODIFY\" Value=\"1\"/>\n"
    "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n"
    "      <Directory Id=\"ProgramFiles64Folder\">\n"
    "        <Directory Id=\"INSTALLDIR\" Name=\"${kitName}\">\n"
    "${folderXml}"
    "        </Directory>\n"
    "      </Directory>\n"
    "    </Directory>\n"
    "    <Feature Id=\"Kit\" Level=\"1\">\n"
    "${featureXml}"
    "    </Feature>\n"
    "  </Product>\n"
    "</Wix>\n")
file(WRITE "${staging}/${kitName}.wxs" "${wxs}")
# The sources are named relative to the kit folder. wixl reports what it
# does not understand (an attribute it drops, say) as a warning only, on
# standard error: any output of its fails the kit.
execute_process(COMMAND "${wixl}" -a x64 -o "${staging}/${msiName}" "${staging}/${kitName}.wxs"
    WORKING_DIRECTORY "${kit}" RESULT_VARIABLE built OUTPUT_VARIABLE wixlOutput ERROR_VARIABLE wixlOutput)
string(STRIP "${wixlOutput}" wixlOutput)
if(NOT built EQUAL 0 OR NOT wixlOutput STREQUAL "")
    kit_problem("making ${msiName}: wixl (${built}): ${wixlOutput}")
    kit_refuse()
endif()
# wixl gives every package a random package code; the same inputs get the
# same one here (the description, every file's digest and wixl's version),
# and other inputs another. msibuild rewrites the summary with the values
# wixl wrote, and that code.
execute_process(COMMAND "${wixl}" --version OUTPUT_VARIABLE wixlVersion)
string(SHA256 packageDigest "${wixlVersion}\n${wxs}\n${sums}")
string(UUID packageCode NAMESPACE ${upgradeCode} NAME "package ${packageDigest}" TYPE SHA1 UPPER)
execute_process(COMMAND "${msibuild}" "${staging}/${msiName}" -s "${kitName}" "${KIT_MANUFACTURER}" "x64;1033"
    "{${packageCode}}" RESULT_VARIABLE summarised OUTPUT_VARIABLE msibuildOutput ERROR_VARIABLE msibuildOutput)
if(NOT summarised EQUAL 0)
    kit_problem("making ${msiName}: msibuild (${summarised}): ${msibuildOutput}")
endif()
if(NOT problems AND NOT "${KIT_SIGN_CERT}" STREQUAL "")
    kit_sign("${staging}/${msiName}")
endif()
if(problems)
    kit_refuse()
endif()

file(SHA256 "${staging}/${zipName}" zipHash)
file(SHA256 "${staging}/${msiName}" msiHash)
file(WRITE "${staging}/SHA256SUMS" "${zipHash}  ${zipName}\n${msiHash}  ${msiName}\n")

# ---- into place -------------------------------------------------------------
file(RENAME "${kit}" "${KIT_OUT_DIR}/${kitName}")
file(RENAME "${staging}/${zipName}" "${KIT_OUT_DIR}/${zipName}")
file(RENAME "${staging}/${msiName}" "${KIT_OUT_DIR}/${msiName}")
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
message(STATUS "Package:  ${KIT_OUT_DIR}/${msiName} (${kitName} ${KIT_VERSION} by ${KIT_MANUFACTURER}, product code {${productCode}})")
message(STATUS "SHA-256:  ${zipHash}  ${zipName}")
message(STATUS "          ${msiHash}  ${msiName}  (${KIT_OUT_DIR}/SHA256SUMS)")
