namespace quarvel_intake_placeholder {}
