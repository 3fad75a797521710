umask 027
