# The Maven artifacts of this build, under artifacts/ with their repository file names:
#   quarn-transport-native-kqueue-VERSION.jar              the Java classes and the loader
#   quarn-transport-native-kqueue-VERSION-sources.jar      their sources
#   quarn-transport-native-kqueue-VERSION-CLASSIFIER.jar   this system's library, under
#                                                          META-INF/native/CLASSIFIER/
#   quarn-transport-native-kqueue-VERSION.pom
# The classifier is the system and processor as Java builds name them (linux-x86_64,
# linux-aarch_64, freebsd-aarch_64). Both the classes and each library carry the version, and the
# loader refuses a library whose version is not its own. scripts/publish.sh installs them.
set(QUARN_MAVEN_GROUP io.quarn)
set(QUARN_MAVEN_ARTIFACT quarn-transport-native-kqueue)
set(QUARN_VERSION ${PROJECT_VERSION})
set(QUARN_MODULE_NAME io.quarn.transport.kqueue)
# The licence the pom declares.
set(QUARN_LICENSE_NAME "Apache License, Version 2.0")
set(QUARN_LICENSE_URL "https://www.apache.org/licenses/LICENSE-2.0.txt")

string(TOLOWER ${CMAKE_SYSTEM_NAME} QUARN_NATIVE_SYSTEM)
set(QUARN_CLASSIFIER ${QUARN_NATIVE_SYSTEM}-${QUARN_ARCH})
set(QUARN_ARTIFACTS_DIR ${CMAKE_BINARY_DIR}/artifacts)
set(QUARN_ARTIFACT_BASE ${QUARN_ARTIFACTS_DIR}/${QUARN_MAVEN_ARTIFACT}-${QUARN_VERSION})
set(QUARN_MAIN_JAR ${QUARN_ARTIFACT_BASE}.jar)
set(QUARN_SOURCES_JAR ${QUARN_ARTIFACT_BASE}-sources.jar)
set(QUARN_CLASSIFIER_JAR ${QUARN_ARTIFACT_BASE}-${QUARN_CLASSIFIER}.jar)
set(QUARN_POM ${QUARN_ARTIFACT_BASE}.pom)
# The version file beside the library; it keeps the plain library's name when the library is renamed.
set(QUARN_VERSION_FILE_NAME lib${QUARN_LIBRARY_NAME}.properties)

set(QUARN_ARTIFACTS_STAGE ${CMAKE_BINARY_DIR}/artifacts-stage)
function(quarn_manifest file module_name title)
  file(WRITE ${file} "Automatic-Module-Name: ${module_name}\nImplementation-Title: ${title}\n"
                     "Implementation-Version: ${QUARN_VERSION}\n")
endfunction()
quarn_manifest(${QUARN_ARTIFACTS_STAGE}/main.mf ${QUARN_MODULE_NAME} ${QUARN_MAVEN_ARTIFACT})
quarn_manifest(${QUARN_ARTIFACTS_STAGE}/sources.mf ${QUARN_MODULE_NAME}.sources "${QUARN_MAVEN_ARTIFACT} sources")
string(REPLACE "-" "." QUARN_CLASSIFIER_MODULE ${QUARN_CLASSIFIER})
quarn_manifest(${QUARN_ARTIFACTS_STAGE}/native.mf ${QUARN_MODULE_NAME}.${QUARN_CLASSIFIER_MODULE}
               "${QUARN_MAVEN_ARTIFACT} for ${QUARN_CLASSIFIER}")

# The classes of classes_target plus their version, beside the loader in package_path.
function(quarn_main_jar target classes_target package_path output)
  get_target_property(classes_jar ${classes_target} JAR_FILE)
  set(stage ${QUARN_ARTIFACTS_STAGE}/${target})
  file(WRITE ${stage}/${package_path}/version.properties "version=${QUARN_VERSION}\n")
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${classes_jar} ${output}
    COMMAND ${Java_JAR_EXECUTABLE} --update --file ${output} --manifest ${QUARN_ARTIFACTS_STAGE}/main.mf
            -C ${stage} ${package_path}/version.properties
    DEPENDS ${classes_target} ${classes_jar} ${QUARN_ARTIFACTS_STAGE}/main.mf
    COMMENT "Packing ${output}")
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# This system's library as library_file_name under META-INF/native/CLASSIFIER/, with a version
# file that says `version` (none when it is empty).
function(quarn_classifier_jar target library_file_name version output)
  set(stage ${QUARN_ARTIFACTS_STAGE}/${target})
  set(native META-INF/native/${QUARN_CLASSIFIER})
  set(version_command)
  if(version)
    file(WRITE ${stage}-version/${QUARN_VERSION_FILE_NAME} "version=${version}\n")
    set(version_command COMMAND ${CMAKE_COMMAND} -E copy ${stage}-version/${QUARN_VERSION_FILE_NAME} ${stage}/${native}/)
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/${native}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quarn_transport_native_kqueue> ${stage}/${native}/${library_file_name}
    ${version_command}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${output} --manifest ${QUARN_ARTIFACTS_STAGE}/native.mf
            -C ${stage} META-INF/native
    DEPENDS quarn_transport_native_kqueue ${QUARN_ARTIFACTS_STAGE}/native.mf
    COMMENT "Packing ${output}")
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

quarn_main_jar(quarn_jar quarn_java io/quarn/channel/kqueue ${QUARN_MAIN_JAR})
quarn_classifier_jar(quarn_classifier_jar lib${QUARN_LIBRARY_NAME}.so ${QUARN_VERSION} ${QUARN_CLASSIFIER_JAR})
add_custom_command(
  OUTPUT ${QUARN_SOURCES_JAR}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QUARN_SOURCES_JAR}
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${QUARN_SOURCES_JAR} --manifest ${QUARN_ARTIFACTS_STAGE}/sources.mf
          -C ${CMAKE_SOURCE_DIR}/java .
  DEPENDS ${QUARN_JAVA_SOURCES} ${QUARN_ARTIFACTS_STAGE}/sources.mf
  COMMENT "Packing ${QUARN_SOURCES_JAR}")
add_custom_target(quarn_sources_jar ALL DEPENDS ${QUARN_SOURCES_JAR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/pom.xml.in ${QUARN_POM} @ONLY)
