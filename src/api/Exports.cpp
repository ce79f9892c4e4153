// exports arrive here
