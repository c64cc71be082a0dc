# cmake -P: the user guide's Markdown as one HTML page (cmark renders the body).
#   -DCMARK= -DIN= -DOUT=
execute_process(COMMAND ${CMARK} --to html ${IN} OUTPUT_VARIABLE body RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmark could not render ${IN}")
endif()
file(WRITE ${OUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<title>Loadpost user guide</title>
<style>
body{font-family:sans-serif;max-width:50em;margin:auto;padding:1em}
pre{background:#f4f4f4;padding:.5em;overflow:auto}
table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .4em}
</style>
</head>
<body>
${body}</body>
</html>
")
