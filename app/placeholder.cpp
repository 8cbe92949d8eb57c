namespace quarvel_app_placeholder {}
