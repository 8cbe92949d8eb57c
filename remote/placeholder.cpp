namespace quarvel_remote_placeholder {}
