namespace quarvel_run_placeholder {}
